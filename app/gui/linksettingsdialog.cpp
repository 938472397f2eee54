// SPDX-License-Identifier: MIT
#include "app/gui/linksettingsdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace gui {

TLinkSettingsDialog::TLinkSettingsDialog(int answerMs, int retries, QWidget* parent)
    : QDialog(parent), edtAnswerTime(new QSpinBox(this)), edtRetries(new QSpinBox(this)) {
    setObjectName(QStringLiteral("dlgLinkSettings"));
    setWindowTitle(QStringLiteral("Параметры связи"));
    edtAnswerTime->setObjectName(QStringLiteral("edtAnswerTime"));
    edtAnswerTime->setRange(kMinAnswerMs, kMaxAnswerMs);
    edtAnswerTime->setSingleStep(100);
    edtAnswerTime->setSuffix(QStringLiteral(" мс"));
    edtAnswerTime->setValue(answerMs);
    edtRetries->setObjectName(QStringLiteral("edtRetries"));
    edtRetries->setRange(0, kMaxRetries);
    edtRetries->setValue(retries);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Время ожидания ответа:"), edtAnswerTime);
    form->addRow(QStringLiteral("Повторы запроса:"), edtRetries);
    auto* note = new QLabel(QStringLiteral("Медленному прибору или шлюзу нужно больше времени на "
                                           "ответ; на линии с помехами помогают повторы."),
                            this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("ОК"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
}

int TLinkSettingsDialog::answerMs() const {
    return edtAnswerTime->value();
}

int TLinkSettingsDialog::retries() const {
    return edtRetries->value();
}

} // namespace gui
