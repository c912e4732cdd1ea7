#pragma once
// What the tests of Wisp's questions share: the answers a question's callback received, in order, and
// whether every one came on the user-interface thread; and the text a dialog shows in a named label.
#include <QCoreApplication>
#include <QLabel>
#include <QString>
#include <QThread>
#include <QWidget>
#include <functional>
#include <mutex>
#include <vector>

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
