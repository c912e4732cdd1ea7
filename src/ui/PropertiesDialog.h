#pragma once
// The modal "properties" dialog about the selected entries: it shows texts computed beforehand from a
// copy of the entries, so it holds nothing of the page and nothing in it can be changed.
#include <QDialog>
#include <QIcon>

#include "listing/PropertiesTexts.h"

class QLabel;

class PropertiesDialog : public QDialog {
    Q_OBJECT
  public:
    PropertiesDialog(const PropertiesTexts& texts, const QIcon& icon, QWidget* parent = nullptr);
};
