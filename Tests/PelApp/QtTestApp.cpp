#include "PelApp/QtTestApp.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

QtMessageHandler previousHandler = nullptr;

// The offscreen platform warns about window hints it cannot honour; that is noise here.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("does not support propagateSizeHints"))) return;
    if (previousHandler) previousHandler(type, context, message);
    else fmt::print(stderr, "{}\n", message.toStdString());
}

// One QApplication for the whole suite, on the offscreen platform (no display needed).
class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        previousHandler = qInstallMessageHandler(quietHandler);
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override {
        pelapptest::flushUi();
        app_.reset();
    }

private:
    int argc_ = 1;
    char name_[16] = "PelAppTests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace

namespace pelapptest {

void flushUi() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

} // namespace pelapptest
