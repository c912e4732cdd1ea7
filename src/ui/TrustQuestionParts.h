#pragma once
// The parts the certificate and host-key questions share: texts from a server shown as plain text, never
// markup; a warning icon beside the server's name in bold; a grid of captioned values; and three answers,
// of which Cancel is the default, so that neither Enter nor Escape trusts anything by accident.
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QString>
#include <QVBoxLayout>
#include <initializer_list>
#include <string>

namespace TrustQuestion {

QString FromLocal(const std::string& text);
QLabel* PlainText(const QString& text, const char* name, QWidget* parent);
// Plain text the user can select, to copy a name or a fingerprint.
QLabel* SelectableText(const QString& text, const char* name, QWidget* parent);
// The dialog's column, its first row made: the icon, then the server's name in bold above `headingLines`.
QVBoxLayout* Column(QDialog& dialog, QLabel* server, std::initializer_list<QWidget*> headingLines);
QGridLayout* DetailsGrid();
void AddDetail(QGridLayout& grid, int row, const char* caption, QLabel* value);

struct Answer {
    const char* text;
    const char* objectName;
    int result;  // what the dialog ends with when this button is clicked
};
// Ends the column with the buttons `first`, `second` and Cancel (which rejects); the room the window has
// beyond its natural size goes above them, not between the texts.
void AddAnswers(QDialog& dialog, QVBoxLayout& column, Answer first, Answer second);

}  // namespace TrustQuestion
