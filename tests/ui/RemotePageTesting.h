#pragma once
// What tests and the page's benchmark reach of the Remote page besides what a user does: its widgets,
// the menu runner that answers for a user, and the download questions.
#include <functional>
#include <memory>
#include <utility>

#include "ui/WispRemotePage.h"

class WispRemotePageTesting {
  public:
    explicit WispRemotePageTesting(WispRemotePage& page) : page_(page) {}

    QListView* IconView() const { return page_.listView_; }
    QTreeView* DetailsView() const { return page_.treeView_; }
    RemoteEntryModel* Model() const { return page_.model_; }
    QComboBox* DirectoryBox() const { return page_.directory_; }
    // The failure line's text (empty and hidden when there is none) and the not-connected note.
    QLabel* FailureText() const { return page_.failureText_; }
    QLabel* Placeholder() const { return page_.placeholder_; }
    QToolBar* ToolBar() const { return page_.toolBar_; }
    QAction* UpAction() const { return page_.upAction_; }
    QAction* AsciiAction() const { return page_.asciiAction_; }
    QAction* ImageAction() const { return page_.imageAction_; }
    // How a menu is shown and a choice taken: tests answer instead of a user.
    void SetMenuRunner(std::function<QAction*(QMenu& menu, const QPoint& globalPos)> runner) const {
        page_.menuRunner_ = std::move(runner);
    }
    // The New folder dialog's and the Delete question's answers.
    void SetFolderNameAsker(std::function<std::optional<QString>()> asker) const {
        page_.askFolderName_ = std::move(asker);
    }
    void SetDeleteConfirmer(std::function<bool(const QString&)> confirmer) const {
        page_.confirmDelete_ = std::move(confirmer);
    }
    // The Upload dialog's answer: the chosen local paths (none: cancelled).
    void SetUploadAsker(std::function<std::vector<std::string>()> asker) const {
        page_.askUpload_ = std::move(asker);
    }
    void SetDownloadChoices(std::unique_ptr<DownloadChoices> choices) const {
        page_.choices_ = std::move(choices);
    }

  private:
    WispRemotePage& page_;
};
