#include "ui/UrlComboItems.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

UrlComboItems::UrlComboItems(QComboBox& box) : box_(box) {
    box_.setInsertPolicy(QComboBox::NoInsert);
    box_.setCompleter(nullptr);
    QObject::connect(box_.lineEdit(), &QLineEdit::textEdited, &box_, [this] { Edited(); });
}

int UrlComboItems::Count() const {
    return box_.count();
}

std::string UrlComboItems::ItemText(int index) const {
    return box_.itemText(index).toLocal8Bit().toStdString();
}

void UrlComboItems::InsertItem(int index, const std::string& text) {
    const QSignalBlocker blocker(&box_);
    const int selected = box_.currentIndex();
    const QString edit = box_.currentText();
    box_.insertItem(index, QString::fromLocal8Bit(text));
    // A combo box selects the first item put into it when empty; the store's items never change what is
    // selected or typed.
    if (selected < 0) {
        box_.setCurrentIndex(-1);
        box_.setEditText(edit);
    }
}

void UrlComboItems::DeleteItem(int index) {
    const QSignalBlocker blocker(&box_);
    const bool wasSelected = index == box_.currentIndex();
    const QString edit = box_.currentText();
    box_.removeItem(index);
    // Qt moves the selection to a neighbour; the deleted item's selection goes with it instead.
    if (wasSelected) {
        box_.setCurrentIndex(-1);
        box_.setEditText(edit);
    }
}

void UrlComboItems::ClearItems() {
    const QSignalBlocker blocker(&box_);
    box_.clear();
    box_.setEditText(QString());
}

int UrlComboItems::SelectedIndex() const {
    return box_.currentIndex();
}

void UrlComboItems::ClearSelection() {
    const QSignalBlocker blocker(&box_);
    box_.setCurrentIndex(-1);
    box_.setEditText(QString());
}

void UrlComboItems::Select(int index) {
    const QSignalBlocker blocker(&box_);
    box_.setCurrentIndex(index);
    // The item's text even when the index did not change but the field was typed over.
    box_.setEditText(box_.itemText(index));
}

std::string UrlComboItems::Text() const {
    return box_.currentText().toLocal8Bit().toStdString();
}

void UrlComboItems::SetText(const std::string& text) {
    const QSignalBlocker blocker(&box_);
    box_.setCurrentIndex(-1);
    box_.setEditText(QString::fromLocal8Bit(text));
}

void UrlComboItems::Edited() {
    if (box_.currentIndex() < 0) {
        return;
    }
    QLineEdit* edit = box_.lineEdit();
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    const QSignalBlocker blocker(&box_);
    box_.setCurrentIndex(-1);
    edit->setText(text);
    edit->setCursorPosition(cursor);
}
