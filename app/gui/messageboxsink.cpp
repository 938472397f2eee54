// SPDX-License-Identifier: MIT
#include "app/gui/messageboxsink.h"

#include <QApplication>
#include <QMessageBox>

namespace gui {

namespace {

// Messages separate their lines with a lone carriage return, as the tool always did; a label
// breaks lines at line feeds only.
QString displayText(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return text;
}

} // namespace

void TMessageBoxSink::information(const QString& text) {
    QMessageBox::information(m_parent, QApplication::applicationDisplayName(), displayText(text));
}

void TMessageBoxSink::information(const QString& text, const QString& detail) {
    QMessageBox box(QMessageBox::Information, QApplication::applicationDisplayName(),
                    displayText(text), QMessageBox::Ok, m_parent);
    box.setInformativeText(displayText(detail));
    box.exec();
}

void TMessageBoxSink::warning(const QString& text) {
    QMessageBox::warning(m_parent, QApplication::applicationDisplayName(), displayText(text));
}

void TMessageBoxSink::error(const QString& text) {
    QMessageBox::critical(m_parent, QApplication::applicationDisplayName(), displayText(text));
}

bool TMessageBoxSink::question(const QString& text) {
    return QMessageBox::question(m_parent, QApplication::applicationDisplayName(),
                                 displayText(text)) == QMessageBox::Yes;
}

} // namespace gui
