// SPDX-License-Identifier: MIT
#pragma once

#include <QGroupBox>
#include <QStringList>

class QButtonGroup;
class QGridLayout;

namespace platform {

// A titled group of radio buttons addressed by item index, laid out in a number of columns
// (items fill the columns top to bottom, then left to right). The window's selectors and the
// connection dialog's frames use it; Designer files set its columns, items and itemIndex.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
    Q_PROPERTY(int columns READ columns WRITE setColumns)
    Q_PROPERTY(QStringList items READ items WRITE setItems)
    Q_PROPERTY(int itemIndex READ itemIndex WRITE setItemIndex)
public:
    explicit TRadioGroup(QWidget* parent = nullptr);
    explicit TRadioGroup(const QString& title, QWidget* parent = nullptr);
    TRadioGroup(const QString& title, const QStringList& items, int columns,
                QWidget* parent = nullptr);

    int columns() const { return m_columns; }
    void setColumns(int columns);
    void setItems(const QStringList& items);
    QStringList items() const;
    int count() const;

    // -1 when no item is selected.
    int itemIndex() const;
    // An index outside the items selects nothing.
    void setItemIndex(int index);

signals:
    // The user selected an item.
    void itemClicked(int index);

private:
    void relayout();

    QButtonGroup* m_group;
    QGridLayout* m_layout;
    int m_columns = 1;
};

} // namespace platform
