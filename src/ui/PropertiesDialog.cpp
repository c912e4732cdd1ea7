#include "ui/PropertiesDialog.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include "ui/DialogFlags.h"

namespace {

QLabel* Text(const std::string& text, const char* name, Qt::Alignment alignment = Qt::AlignLeft) {
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(alignment | Qt::AlignVCenter);
    return label;
}

QFrame* Separator() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

PropertiesDialog::PropertiesDialog(const PropertiesTexts& texts, const QIcon& icon, QWidget* parent)
    : QDialog(parent, kDialogFlags) {
    setObjectName("PropertiesDialog");
    setWindowTitle(QString::fromUtf8(texts.Caption()));
    setModal(true);

    auto* iconLabel = new QLabel;
    iconLabel->setObjectName("icon");
    iconLabel->setPixmap(icon.pixmap(32, 32));
    iconLabel->setFixedSize(40, 40);

    auto* heading = Text(texts.headingText, "heading");

    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, 56);
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(12);
    grid->addWidget(iconLabel, 0, 0, Qt::AlignLeft);
    grid->addWidget(heading, 0, 1);
    grid->addWidget(Separator(), 1, 0, 1, 2);
    grid->addWidget(Text("Type:", "typeLabel", Qt::AlignRight), 2, 0);
    grid->addWidget(Text(texts.typeText, "typeValue"), 2, 1);
    grid->addWidget(Text("Size:", "sizeLabel", Qt::AlignRight), 3, 0);
    grid->addWidget(Text(texts.sizeSummary, "sizeValue"), 3, 1);
    grid->addWidget(Separator(), 4, 0, 1, 2);
    grid->addWidget(Text(texts.thirdLabel, "thirdLabel", Qt::AlignRight), 5, 0);
    grid->addWidget(Text(texts.thirdValue, "thirdValue"), 5, 1);
    grid->addWidget(Text(texts.fourthLabel, "fourthLabel", Qt::AlignRight), 6, 0);
    grid->addWidget(Text(texts.fourthValue, "fourthValue"), 6, 1);
    if (!texts.permissionsValue.empty()) {
        grid->addWidget(Text("Permissions:", "permissionsLabel", Qt::AlignRight), 7, 0);
        grid->addWidget(Text(texts.permissionsValue, "permissionsValue"), 7, 1);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    setMinimumWidth(360);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
