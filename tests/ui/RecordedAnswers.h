#pragma once
// What the tests of Wisp's questions share: the answers a question's callback received, in order, and
// whether every one came on the user-interface thread; a question answered once as the Host page opens
// it; and the text a dialog shows in a named label.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "ui/AppTestSupport.h"

template <typename AnswerType>
struct RecordedAnswers {
    std::mutex mutex;
    std::vector<AnswerType> given;
    bool allOnUiThread = true;

    std::function<void(AnswerType)> Callback() {
        return [this](AnswerType answer) {
            std::lock_guard lock(mutex);
            given.push_back(std::move(answer));
            allOnUiThread =
                allOnUiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        };
    }
    std::vector<AnswerType> Given() {
        std::lock_guard lock(mutex);
        return given;
    }
};

inline QString ShownText(const QWidget& dialog, const char* name) {
    const auto* label = dialog.findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString("<no label %1>").arg(name);
}

// Opens `created` as the Host page does (deleted once answered), lets `act` answer it, and checks that it
// went away having given exactly `expected`, on the user-interface thread.
template <typename Dialog, typename AnswerType>
void ExpectAnsweredOnce(Dialog* created, RecordedAnswers<AnswerType>& answers,
                        const std::function<void(Dialog&)>& act, const AnswerType& expected) {
    QPointer<Dialog> dialog = created;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.data()));
    act(*dialog);
    // A mnemonic presses its button with a short animation.
    PumpUntil([&] { return !answers.Given().empty(); }, std::chrono::milliseconds(2000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(answers.Given(), std::vector<AnswerType>{expected});
    EXPECT_TRUE(answers.allOnUiThread);
    delete dialog.data();
}
