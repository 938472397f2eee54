// SPDX-License-Identifier: MIT
#include "app/gui/exchangetab.h"

#include "app/core/accesslibrary.h"
#include "app/core/readingrun.h"
#include "app/gui/framelistmodel.h"
#include "platform/messagesink.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include "platform/replacefile.h"

namespace {

// Pending events are handled during a search at most this often.
constexpr qint64 kEventIntervalMs = 40;

QString ChooseTextFile(QWidget* parent, const QString& proposed) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Сохранить журнал обмена"), proposed,
                                        QStringLiteral("Текстовый файл (*.txt)"));
}

} // namespace

TExchangeTab::TExchangeTab(IAccessLibrary& library, IMessageSink& messages, TExchangeTabHooks hooks,
                           QWidget* parent)
    : QWidget(parent), m_lib(library), m_messages(messages), m_hooks(std::move(hooks)),
      m_chooseFile(ChooseTextFile) {
    m_model = new TFrameListModel(this);
    m_fanOut.add(m_model);
    m_fanOut.add(&m_diagnosis);
    createControls();
}

void TExchangeTab::createControls() {
    setObjectName(QStringLiteral("tsExchange"));
    frameView = new QTableView(this);
    frameView->setObjectName(QStringLiteral("frameView"));
    frameView->setModel(m_model);
    frameView->verticalHeader()->hide();
    frameView->setWordWrap(false);
    frameView->horizontalHeader()->setStretchLastSection(true);
    frameView->setSelectionBehavior(QAbstractItemView::SelectRows);
    diagnosisText = new QPlainTextEdit(this);
    diagnosisText->setObjectName(QStringLiteral("diagnosisText"));
    diagnosisText->setReadOnly(true);
    diagnosisText->setPlaceholderText(QStringLiteral("Диагноз появится после неудачного чтения."));

    btnCopy = new QPushButton(QStringLiteral("Копировать"), this);
    btnSave = new QPushButton(QStringLiteral("Сохранить журнал обмена..."), this);
    btnSearch = new QPushButton(QStringLiteral("Найти прибор"), this);
    btnStopSearch = new QPushButton(QStringLiteral("Остановить"), this);
    btnApply = new QPushButton(QStringLiteral("Применить"), this);
    btnStopSearch->setEnabled(false);
    btnApply->setEnabled(false);
    searchProgress = new QProgressBar(this);
    searchProgress->setTextVisible(false);
    lblSearch = new QLabel(this);

    auto* buttons = new QHBoxLayout;
    for (QWidget* w : {static_cast<QWidget*>(btnCopy), static_cast<QWidget*>(btnSave)})
        buttons->addWidget(w);
    buttons->addSpacing(16);
    for (QWidget* w : {btnSearch, btnStopSearch, btnApply})
        buttons->addWidget(w);
    buttons->addWidget(searchProgress, 1);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(frameView);
    split->addWidget(diagnosisText);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->addWidget(split, 1);
    root->addLayout(buttons);
    root->addWidget(lblSearch);

    connect(btnCopy, &QPushButton::clicked, this, &TExchangeTab::Copy);
    connect(btnSave, &QPushButton::clicked, this, &TExchangeTab::Save);
    connect(btnSearch, &QPushButton::clicked, this, &TExchangeTab::Search);
    connect(btnStopSearch, &QPushButton::clicked, this, &TExchangeTab::StopSearch);
    connect(btnApply, &QPushButton::clicked, this, &TExchangeTab::Apply);
}

void TExchangeTab::RunStarted() {
    m_model->Clear();
    m_diagnosis.Reset();
    diagnosisText->clear();
}

void TExchangeTab::RunEnded(const TRunResult& result) {
    m_model->Flush();
    if (!result.readFailed())
        return;
    const QString text = m_diagnosis.Text();
    diagnosisText->setPlainText(text.isEmpty() ? QStringLiteral("Сбоев обмена в журнале не видно.")
                                               : text);
}

QString TExchangeTab::ExchangeText() {
    m_model->Flush();
    QString text = m_model->Text();
    if (!diagnosisText->toPlainText().isEmpty())
        text += u'\n' + diagnosisText->toPlainText() + u'\n';
    return text;
}

void TExchangeTab::Copy() {
    QApplication::clipboard()->setText(ExchangeText());
}

void TExchangeTab::Save() {
    const QString proposed =
        QStringLiteral("обмен-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString file = m_chooseFile(this, proposed);
    if (file.isEmpty())
        return;
    platform::TReplaceFile out(file);
    if (!out.open() || !out.write(ExchangeText().toUtf8()) || !out.commit())
        m_messages.error(QStringLiteral("Не удалось сохранить журнал обмена в %1: %2")
                             .arg(file, out.errorText()));
}

bool TExchangeTab::SearchProgress(int done, int total) {
    searchProgress->setMaximum(std::max(total, 1));
    searchProgress->setValue(done);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_lastEvents >= kEventIntervalMs) {
        m_lastEvents = now;
        if (m_hooks.processEvents)
            m_hooks.processEvents();
        else
            QCoreApplication::processEvents();
    }
    return m_stopRequested;
}

void TExchangeTab::Search() {
    if (m_searching || (m_hooks.busy && m_hooks.busy()))
        return;
    const std::optional<core::TSearchRequest> request = m_hooks.searchRequest();
    if (!request)
        return;
    m_searching = true;
    m_stopRequested = false;
    btnSearch->setEnabled(false);
    btnApply->setEnabled(false);
    btnStopSearch->setEnabled(true);
    RunStarted();
    lblSearch->setText(QStringLiteral("Поиск прибора (не дольше %1 с)...")
                           .arg((core::TInstrumentSearch::Bound(*request).count() + 999) / 1000));
    const auto [answerMs, retries] = m_hooks.readingTimes();
    m_lastSearch = core::TInstrumentSearch(m_lib).Run(
        *request, [this](int done, int total) { return SearchProgress(done, total); }, answerMs,
        retries);
    m_model->Flush();
    lblSearch->setText(m_lastSearch.stopped ? QStringLiteral("Поиск остановлен")
                                            : m_lastSearch.Text());
    btnApply->setEnabled(!m_lastSearch.found.empty());
    btnStopSearch->setEnabled(false);
    btnSearch->setEnabled(true);
    m_searching = false;
}

void TExchangeTab::Apply() {
    if (m_lastSearch.found.empty())
        return;
    const core::TSearchHit& hit = m_lastSearch.found.front();
    m_hooks.apply(hit.address, hit.speed);
}
