#pragma once
// The file dialog of "Upload...": the user picks files and folders together, which the desktop's own
// dialog cannot offer, so Qt's dialog is used, and its Upload button takes a selected folder as chosen
// rather than opening it (a double-click still opens it).
#include <QFileDialog>
#include <QString>
#include <string>
#include <vector>

class UploadChooser : public QFileDialog {
    Q_OBJECT
  public:
    // Starts in `folder` (the home folder when empty).
    explicit UploadChooser(QWidget* parent = nullptr, const QString& folder = {});

    // The chosen paths as the local file system names them; empty when cancelled. `folder` is where the
    // dialog starts and, after a choice, where the choice was made.
    static std::vector<std::string> Ask(QWidget* parent, QString& folder);

    // The chosen paths once accepted.
    QStringList Chosen() const { return chosen_; }

    void accept() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // The dialog names its button "Open" whenever a folder is selected; here that button uploads.
    void KeepUploadLabel();

    QStringList chosen_;
    bool labelKept_ = false;
};
