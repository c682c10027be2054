#pragma once

#include "PelApp/FakeEngine.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/QtTestApp.hpp"
#include "Platform/ManualExecutor.hpp"
#include "Platform/Workspace.hpp"
#include "Support/TempDir.hpp"

#include <QWidget>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace pelapptest {

// A model whose permission probe looks at a temporary applications folder holding one other
// application and answers with `probeErrno` when it tries that bundle's Info.plist.
struct ProbeModelHarness {
    explicit ProbeModelHarness(std::shared_ptr<pelkit::Overrides> overrides = nullptr)
        : engine(std::move(overrides)) {
        pelsupport::writeText(applications / "Other.app/Contents/Info.plist", "<plist/>");
    }

    pelapp::AppModelSeams seams() {
        pelapp::AppModelSeams s;
        s.applicationsRoot = applications.path().string();
        s.openProbe = [this](const std::string& path) {
            probedPaths.push_back(path);
            return probeErrno.load();
        };
        return s;
    }

    pelsupport::TempDir applications{"pel-app-probe"};
    pelsupport::TempDir procRoot{"pel-app-proc"};
    platform::ProcWorkspace workspace{procRoot.path().string()};
    platform::ManualExecutor executor;
    FakeEngine engine;
    FakeEngineFactory factory{engine};
    RecordingUrlOpener urls;
    std::atomic<int> probeErrno{EPERM};
    std::vector<std::string> probedPaths;
    pelapp::AppModel model{
        executor, factory, workspace, urls, pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}, seams()};
};

// A shown top-level widget holding the widget under test, so visibility reads as on screen.
template <class W> struct Hosted {
    template <class... Args> explicit Hosted(Args&&... args) {
        widget = new W(std::forward<Args>(args)..., &host);
        host.resize(900, 200);
        host.show();
        flushUi();
    }
    ~Hosted() { flushUi(); }
    bool shows(const char* name) const {
        auto* part = host.findChild<QWidget*>(name);
        return part && part->isVisibleTo(&host);
    }
    template <class T> T* find(const char* name) const { return host.findChild<T*>(name); }

    QWidget host;
    W* widget = nullptr;
};

} // namespace pelapptest
