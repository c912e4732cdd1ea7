#include "ui/TrustQuestionParts.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>

namespace TrustQuestion {

namespace {

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* PlainText(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QLabel* SelectableText(const QString& text, const char* name, QWidget* parent) {
    QLabel* label = PlainText(text, name, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QVBoxLayout* Column(QDialog& dialog, QLabel* server, std::initializer_list<QWidget*> headingLines) {
    auto* icon = new QLabel(&dialog);
    icon->setObjectName("icon");
    icon->setPixmap(dialog.style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QFont bold = server->font();
    bold.setBold(true);
    server->setFont(bold);
    auto* headingText = new QVBoxLayout;
    headingText->setSpacing(4);
    headingText->addWidget(server);
    for (QWidget* line : headingLines) {
        headingText->addWidget(line);
    }
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(headingText, 1);

    auto* column = new QVBoxLayout(&dialog);
    column->setSpacing(12);
    column->addLayout(top);
    return column;
}

QGridLayout* DetailsGrid() {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(6);
    grid->setColumnStretch(1, 1);
    return grid;
}

void AddDetail(QGridLayout& grid, int row, const char* caption, QLabel* value) {
    grid.addWidget(PlainText(QString::fromLatin1(caption), "", value->parentWidget()), row, 0,
                   Qt::AlignLeft | Qt::AlignTop);
    grid.addWidget(value, row, 1, value->wordWrap() ? Qt::AlignTop : Qt::AlignLeft | Qt::AlignTop);
}

void AddAnswers(QDialog& dialog, QVBoxLayout& column, Answer first, Answer second) {
    QPushButton* firstButton = Button(first.text, first.objectName, &dialog);
    QPushButton* secondButton = Button(second.text, second.objectName, &dialog);
    QPushButton* cancel = Button("Cancel", "cancel", &dialog);
    cancel->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(firstButton);
    buttons->addWidget(secondButton);
    buttons->addWidget(cancel);
    QObject::connect(firstButton, &QPushButton::clicked, &dialog,
                     [&dialog, first] { dialog.done(first.result); });
    QObject::connect(secondButton, &QPushButton::clicked, &dialog,
                     [&dialog, second] { dialog.done(second.result); });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

    column.addStretch(1);
    column.addSpacing(4);
    column.addLayout(buttons);
    cancel->setFocus();
}

}  // namespace TrustQuestion
