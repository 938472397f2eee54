// SPDX-License-Identifier: MIT
#include "platform/widgets/radiogroup.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

namespace platform {

TRadioGroup::TRadioGroup(QWidget* parent) : TRadioGroup(QString(), parent) {}

TRadioGroup::TRadioGroup(const QString& title, QWidget* parent)
    : QGroupBox(title, parent), m_group(new QButtonGroup(this)), m_layout(new QGridLayout(this)) {
    m_layout->setContentsMargins(6, 2, 6, 2);
    m_layout->setVerticalSpacing(0);
    m_layout->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    connect(m_group, &QButtonGroup::idClicked, this, &TRadioGroup::itemClicked);
}

TRadioGroup::TRadioGroup(const QString& title, const QStringList& items, int columns,
                         QWidget* parent)
    : TRadioGroup(title, parent) {
    m_columns = std::max(columns, 1);
    setItems(items);
}

void TRadioGroup::setColumns(int columns) {
    m_columns = std::max(columns, 1);
    relayout();
}

void TRadioGroup::setItems(const QStringList& items) {
    for (QAbstractButton* b : m_group->buttons()) {
        m_group->removeButton(b);
        delete b;
    }
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        m_group->addButton(b, i);
    }
    relayout();
}

QStringList TRadioGroup::items() const {
    QStringList out;
    for (int i = 0; i < count(); ++i)
        out.append(m_group->button(i)->text());
    return out;
}

int TRadioGroup::count() const {
    return static_cast<int>(m_group->buttons().size());
}

int TRadioGroup::itemIndex() const {
    return m_group->checkedId();
}

void TRadioGroup::setItemIndex(int index) {
    if (QAbstractButton* b = m_group->button(index)) {
        b->setChecked(true);
        return;
    }
    // An exclusive group cannot uncheck its checked button directly.
    m_group->setExclusive(false);
    for (QAbstractButton* b : m_group->buttons())
        b->setChecked(false);
    m_group->setExclusive(true);
}

void TRadioGroup::relayout() {
    const int n = count();
    const int rows = (n + m_columns - 1) / m_columns;
    for (int i = 0; i < n; ++i) {
        QAbstractButton* b = m_group->button(i);
        m_layout->removeWidget(b);
        m_layout->addWidget(b, rows > 0 ? i % rows : 0, rows > 0 ? i / rows : 0);
    }
}

} // namespace platform
