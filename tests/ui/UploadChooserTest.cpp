// The Upload dialog through its real widgets: what the user selects, files and folders alike, is what it
// hands back, and a selected folder is taken as chosen rather than opened.
#include "ui/UploadChooser.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QDialogButtonBox>
#include <QDir>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "ui/AppTestSupport.h"

namespace {

using UploadChooserTest = AppTest;

TEST_F(UploadChooserTest, TakesTheSelectedFilesAndFoldersAsTheyAre) {
    const struct {
        const char* what;
        std::vector<QString> selected;
        bool accepted;
    } cases[] = {
        {"a folder alone", {"sub"}, true},
        {"a folder and a file", {"sub", "f.txt"}, true},
        {"a file alone", {"f.txt"}, true},
        {"nothing", {}, false},
    };
    TempDir local("wisp-chooser");
    ASSERT_TRUE(local.WriteFile("f.txt", "f"));
    ASSERT_TRUE(local.WriteFile("sub/inner.txt", "i"));
    const QString folder = QString::fromStdString(local.Path().string());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UploadChooser chooser(nullptr, folder);
        chooser.show();
        auto* list = chooser.findChild<QListView*>("listView");
        ASSERT_NE(list, nullptr);
        QAbstractItemModel* model = list->model();
        ASSERT_TRUE(PumpUntil([&] { return model->rowCount(list->rootIndex()) == 2; }));
        QStringList expected;
        for (const QString& name : c.selected) {
            const QModelIndexList found = model->match(model->index(0, 0, list->rootIndex()), Qt::DisplayRole,
                                                       name, 1, Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1) << name.toStdString();
            list->selectionModel()->select(found[0], QItemSelectionModel::Select | QItemSelectionModel::Rows);
            expected.append(QDir(folder).filePath(name));
        }
        const auto* buttons = chooser.findChild<QDialogButtonBox*>("buttonBox");
        ASSERT_NE(buttons, nullptr);
        EXPECT_EQ(buttons->button(QDialogButtonBox::Open)->text(), "&Upload")
            << "the button does not say what it does";
        chooser.accept();
        EXPECT_EQ(chooser.result() == QDialog::Accepted, c.accepted);
        QStringList chosen = chooser.Chosen();
        chosen.sort();
        expected.sort();
        EXPECT_EQ(chosen, expected);
        EXPECT_EQ(QDir(chooser.directory()).absolutePath(), QDir(folder).absolutePath())
            << "a folder was opened";
        chooser.reject();
    }
}

}  // namespace
