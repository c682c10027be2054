#pragma once

#include "PelApp/QtTestApp.hpp"
#include "PelApp/QueueHarness.hpp"
#include "PelApp/Views/DetailPane.hpp"
#include "PelApp/Views/WindowState.hpp"
#include "Support/FakeTools.hpp"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace pelapptest {

// Stands in for the model's size probe, which would ask a server.
inline pelapp::Task<void> noSizeProbe(std::string) {
    co_return;
}

// A detail pane shown on its own over a queue-ready model, with a tool directory of its own (empty
// until a test installs a fake `brew` or `mas`) and a size probe that does nothing.
class DetailPaneTest : public ::testing::Test {
protected:
    DetailPaneTest() {
        pane = std::make_unique<pelapp::DetailPane>(h.model, state);
        pane->setSizeProbe(noSizeProbe);
        pane->resize(360, 900);
        pane->show();
        flushUi();
    }
    ~DetailPaneTest() override {
        pane.reset();
        flushUi();
        h.executor.runPending();
    }

    // Makes `rows` the model's rows, selects `selected` and lets the pane rebuild.
    void showRows(std::vector<pelapp::AppRow> rows, std::set<std::string> selected) {
        h.model.rows = std::move(rows);
        h.model.changed(pelapp::ModelChange::rows);
        h.model.setSelectionIDs(std::move(selected));
        flushUi();
    }
    void showRow(const pelapp::AppRow& row) { showRows({row}, {row.id}); }
    // Tells the pane the rows changed (as any write of the model does) and lets it rebuild.
    void touch() {
        h.model.changed(pelapp::ModelChange::rows);
        flushUi();
    }

    bool showsPlaceholder() const {
        return pane->findChild<QStackedWidget*>("detailPages")->currentWidget()->objectName() ==
               "detailPlaceholder";
    }
    // The current content (the former one may wait for its deferred deletion).
    QWidget* content() const {
        QWidget* widget = pane->findChild<QScrollArea*>("detailScroll")->widget();
        EXPECT_NE(widget, nullptr);
        return widget;
    }
    template <class T = QWidget> T* find(const char* name) const { return content()->findChild<T*>(name); }
    bool has(const char* name) const { return find(name) != nullptr; }
    QString text(const char* name) const {
        auto* label = find<QLabel>(name);
        EXPECT_NE(label, nullptr) << name;
        return label ? label->text() : QString();
    }
    // The value of a label/value row.
    QString value(const char* rowName) const {
        QWidget* row = find(rowName);
        EXPECT_NE(row, nullptr) << rowName;
        return row ? row->findChild<QLabel*>("row2Value")->text() : QString();
    }
    QPushButton* button(const char* name) const {
        auto* b = find<QPushButton>(name);
        EXPECT_NE(b, nullptr) << name;
        return b;
    }

    pelsupport::FakeTools tools;
    QueueHarness h;
    pelapp::WindowState state;
    std::unique_ptr<pelapp::DetailPane> pane;
};

// An outdated row from Homebrew with a token, download address and size as given.
inline pelapp::AppRow outdatedRow(const std::string& id, std::optional<std::string> url = std::nullopt,
                                  std::optional<std::int64_t> size = std::nullopt) {
    auto row = makeRow(id, "App " + id, pelkit::Outcome::outdated, "1.0", "2.0");
    if (url) row.remote->downloadURL = platform::Url::parse(*url);
    row.remote->sizeBytes = size;
    return row;
}

} // namespace pelapptest
