// Serves a sandbox for running the application on a machine without macOS: a folder of sample
// application bundles, a cask catalogue, appcasts and an App Store lookup answer over local HTTPS,
// and stand-ins for the macOS tools. Writes <sandbox>/sandbox.json for the application, then serves
// until it is interrupted or its launcher exits.
//
//     sandbox-server <sandbox-folder>

#include "Platform/Files.hpp"
#include "Platform/Json.hpp"
#include "Platform/Sha256.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeReplaceTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/FakeVerifyTools.hpp"
#include "Support/TestServer.hpp"

#include <fmt/format.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::Reply;

namespace {

enum class Road { appcast, cask, store, none };

struct SampleApp {
    std::string name;
    std::string bundleID;
    std::string installed;
    std::string latest; // what the source offers; equal to `installed` when up to date
    Road road;
    std::string token; // cask token or store track identifier
};

const std::vector<SampleApp>& samples() {
    static const std::vector<SampleApp> apps{
        {"Quillnote", "com.quillnote.Quillnote", "3.1.4", "3.2.0", Road::appcast, ""},
        {"Harbor Terminal", "io.harborterm.Harbor", "1.8.2", "2.0.1", Road::appcast, ""},
        {"Pixelmint", "com.pixelmint.Pixelmint", "5.4", "5.4", Road::appcast, ""},
        {"Lumen Reader", "net.lumenreader.Lumen", "0.9.7", "0.9.8", Road::cask, "lumen-reader"},
        {"Sundial", "app.sundial.Sundial", "12.0", "12.0", Road::cask, "sundial"},
        {"Tidewave", "com.tidewave.player", "4.2.1", "4.3", Road::cask, "tidewave"},
        {"Ledgerline", "com.ledgerline.mac", "2.2", "2.3", Road::store, "1480031717"},
        {"Orbit Notes", "org.orbitnotes.Orbit", "1.0", "1.0", Road::none, ""},
    };
    return apps;
}

std::string fileStem(const std::string& name) {
    std::string out;
    for (char c : name)
        if (c != ' ') out += c;
    return out;
}

std::string appcast(const SampleApp& app, const std::string& url, std::uintmax_t length) {
    return fmt::format(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
        "<channel><title>{0}</title>\n"
        "<item><title>{0} {1}</title><sparkle:version>{1}</sparkle:version>"
        "<sparkle:shortVersionString>{1}</sparkle:shortVersionString>"
        "<sparkle:minimumSystemVersion>13.0</sparkle:minimumSystemVersion>"
        "<description><![CDATA[<h2>What's new</h2><ul><li>Faster "
        "start-up</li><li>Fixes</li></ul>]]></description>"
        "<pubDate>Tue, 01 Dec 2026 10:00:00 +0000</pubDate>"
        "<enclosure url=\"{2}\" length=\"{3}\" type=\"application/octet-stream\"/></item>\n"
        "</channel></rss>\n",
        app.name, app.latest, url, length);
}

platform::Json cask(const SampleApp& app, const std::string& url, const std::string& sha) {
    return platform::Json{
        {"token", app.token},
        {"name", {app.name}},
        {"desc", app.name + " for the desktop"},
        {"version", app.latest},
        {"url", url},
        {"sha256", sha},
        {"artifacts",
         platform::Json::array(
             {platform::Json{{"app", {app.name + ".app"}}},
              platform::Json{{"uninstall", platform::Json::array({{{"quit", app.bundleID}}})}}})},
        {"depends_on", platform::Json{{"macos", {{">=", {"13"}}}}}},
    };
}

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: sandbox-server <sandbox-folder>\n";
        return 2;
    }
    const fs::path root = fs::absolute(argv[1]);
    const fs::path applications = root / "Applications";
    const fs::path built = root / "built";
    fs::create_directories(applications);
    fs::create_directories(built);
    fs::create_directories(root / "home");

    pelsupport::TestServer server;
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes(tools);
    pelsupport::addCodesignVerify(fakes);
    pelsupport::installFakeSpctl(tools);
    pelsupport::installFakeDitto(tools);
    pelsupport::installFakeHdiutil(tools);
    pelsupport::installFakeXattr(tools);
    pelsupport::installFakeMdls(tools);
    pelsupport::installReplaceOsascript(tools);
    pelsupport::installFakePkgutil(tools);
    pelsupport::installFakeInstaller(tools);
    pelsupport::installFakeBrew(tools);

    platform::Json catalogue = platform::Json::array();
    for (const auto& app : samples()) {
        const std::string stem = fileStem(app.name);
        BundleBuilder installed(app.name + ".app");
        installed.bundleID(app.bundleID)
            .name(app.name)
            .shortVersion(app.installed)
            .buildVersion(app.installed);
        if (app.road == Road::appcast) installed.feedURL(server.baseUrl() + "/appcasts/" + stem + ".xml");
        if (app.road == Road::store) installed.receipt();
        installed.build(applications);

        BundleBuilder next(app.name + ".app");
        next.bundleID(app.bundleID).name(app.name).shortVersion(app.latest).buildVersion(app.latest);
        if (app.road == Road::appcast) next.feedURL(server.baseUrl() + "/appcasts/" + stem + ".xml");
        const fs::path folder = built / (stem + "-" + app.latest);
        fs::remove_all(folder);
        next.build(folder);
        const fs::path zip = pelsupport::buildZip(folder, built / (stem + "-" + app.latest + ".zip"));
        const std::string path = "/dl/" + zip.filename().string();
        const std::string url = server.baseUrl() + path;
        server.script(path, {Reply::fromFile(zip)});

        switch (app.road) {
        case Road::appcast:
            server.script("/appcasts/" + stem + ".xml", {Reply::ok(appcast(app, url, fs::file_size(zip)),
                                                                   {{"Content-Type", "application/xml"}})});
            break;
        case Road::cask:
            catalogue.push_back(cask(app, url, platform::sha256HexOfFile(zip.string())));
            break;
        case Road::store:
            server.script("/lookup", {Reply::ok(platform::Json{{"resultCount", 1},
                                                               {"results",
                                                                {{{"version", app.latest},
                                                                  {"trackId", std::stoll(app.token)},
                                                                  {"releaseNotes", "Bug fixes."}}}}}
                                                    .dump())});
            break;
        case Road::none:
            break;
        }
    }
    server.script("/api/cask.json", {Reply::ok(catalogue.dump(), {{"Content-Type", "application/json"}})});
    // The analytics client's uploads: taken and dropped.
    server.script("/v2/", {Reply::withStatus(200, "{}")});
    server.script("/killswitch.json",
                  {Reply::ok(R"({"forceUpgrade": false, "minVersion": "0.1.0", "disabledSources": []})")});

    const platform::Json config{
        {"baseURL", server.baseUrl()},
        {"caFile", server.caFile().string()},
        {"toolDirectory", tools.dir()},
        {"applications", applications.string()},
    };
    platform::atomicWrite(root / "sandbox.json", config.dump(2) + "\n");
    std::cout << "sandbox: serving " << server.baseUrl() << " for " << root.string() << std::endl;

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    // Serves until interrupted or until the launcher that started it is gone.
    const pid_t launcher = getppid();
    while (!stopRequested && getppid() == launcher)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fs::remove(root / "sandbox.json");
    return 0;
}
