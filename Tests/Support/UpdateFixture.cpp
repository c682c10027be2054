#include "Support/UpdateFixture.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Downloads.hpp"
#include "Platform/Sha256.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeReplaceTools.hpp"
#include "Support/FakeVerifyTools.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <stdexcept>

namespace pelsupport {
namespace fs = std::filesystem;
using namespace pelkit;

void RecordingTelemetry::captureError(const PelError& error, const Tags& tags) {
    std::lock_guard lock(mutex_);
    reports_.push_back({error, tags});
}

std::vector<RecordingTelemetry::Report> RecordingTelemetry::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::optional<PelError> UpdateRun::pelError() const {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const PelError& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

UpdateFixture::UpdateFixture()
    : home_(dir / "home"), dbClock_(platform::fromSeconds(1769900000.0)),
      db_(Url::fromFilePath((dir / "pel.db").string()), dbClock_),
      engineClock(platform::fromSeconds(1769900000.0)), journalClock(platform::fromSeconds(1769903998.0)) {
    pelkit::testing::setSharedDB(&db_);
    Telemetry::setImpl(telemetry);

    addCodesignVerify(fakes);
    installFakeSpctl(tools);
    installFakeDitto(tools);
    installFakeHdiutil(tools);
    installFakeXattr(tools);
    installFakeMdls(tools);
    installReplaceOsascript(tools);
    installFakePkgutil(tools);
    installFakeInstaller(tools);
    installFakeBrew(tools);

    fs::create_directories(dir / "built");
    HTTPOptions options;
    options.caFile = server.caFile();
    options.clock = &httpClock;
    options.sleeper = &sleeper;
    options.downloadWriteFault = [this](std::int64_t size) -> std::optional<int> {
        return downloadWriteFault ? downloadWriteFault(size) : std::nullopt;
    };
    http = std::make_unique<HTTP>(options);

    journal = std::make_unique<Journal>("01TESTRUN000", &db_, journalClock);
    rebuildEngine();
}

UpdateFixture::~UpdateFixture() {
    engine.reset();
    overrides.reset();
    if (journal) journal->flush();
    journal.reset();
    Telemetry::setImpl(std::make_shared<NoopTelemetry>());
    pelkit::testing::setSharedDB(nullptr);
}

void UpdateFixture::rebuildEngine() {
    engine.reset();
    OverridesFile file;
    file.apps = overrideApps_;
    overrides = std::make_unique<Overrides>(std::move(file), std::nullopt);

    EngineSeams seams;
    seams.scanRoots = std::vector<ScanRoot>{};
    seams.clock = &engineClock;
    seams.db = &db_;
    seams.http = http.get();
    seams.temporaryRoot = temporaryRoot();
    seams.workspace = &workspace;
    seams.freeBytes = [this](const Url&) { return std::optional<std::int64_t>(freeBytes.load()); };
    if (writable_) {
        const bool writable = *writable_;
        seams.isWritable = [writable](const std::string&) { return writable; };
    }
    seams.fileOps = fileOps_.get();
    engine = std::make_unique<Engine>(*overrides, *journal, std::vector<std::shared_ptr<UpdateSource>>{},
                                      std::move(seams));
}

void UpdateFixture::setOverrides(std::map<std::string, OverrideEntry> apps) {
    overrideApps_ = std::move(apps);
    rebuildEngine();
}

void UpdateFixture::setFileOps(platform::FileOps::FaultHook hook) {
    engine.reset();
    fileOps_ = std::make_unique<platform::FileOps>(std::move(hook));
    rebuildEngine();
}

void UpdateFixture::setWritable(bool writable) {
    writable_ = writable;
    rebuildEngine();
}

InstalledApp UpdateFixture::installApp(const BundleBuilder& bundle) {
    const fs::path path = bundle.build(applications());
    return BundleReader::read(Url::fromFilePath(path.string()));
}

fs::path UpdateFixture::packFolder() {
    const fs::path folder = dir / "packs" / std::to_string(++packs_);
    fs::create_directories(folder);
    return folder;
}

fs::path UpdateFixture::zipBundle(const BundleBuilder& bundle, const std::string& name) {
    const fs::path folder = packFolder();
    bundle.build(folder);
    return buildZip(folder, dir / "built" / name);
}

fs::path UpdateFixture::tarGzBundle(const BundleBuilder& bundle, const std::string& name) {
    const fs::path folder = packFolder();
    bundle.build(folder);
    return buildTarGz(folder, dir / "built" / name);
}

fs::path UpdateFixture::diskImageBundle(const BundleBuilder& bundle, const std::string& name) {
    const fs::path folder = packFolder();
    bundle.build(folder);
    return buildDiskImage(folder, dir / "built" / name);
}

fs::path UpdateFixture::zipBundleOfSize(BundleBuilder bundle, std::int64_t size, const std::string& name) {
    // Random bytes do not deflate, so the archive grows with them nearly byte for byte; a few
    // rounds of correction reach the exact size.
    auto build = [&](std::int64_t padding) {
        const fs::path folder = packFolder();
        const fs::path app = bundle.build(folder);
        std::string bytes(static_cast<std::size_t>(padding), '\0');
        std::mt19937 random(7);
        for (char& c : bytes)
            c = static_cast<char>(random() & 0xFF);
        writeText(app / "Contents/Resources/padding.bin", bytes);
        fs::remove(dir / "built" / name);
        return buildZip(folder, dir / "built" / name);
    };
    std::int64_t padding = size - 2048;
    for (int round = 0; round < 8 && padding > 0; ++round) {
        const fs::path zip = build(padding);
        const auto actual = static_cast<std::int64_t>(fs::file_size(zip));
        if (actual == size) return zip;
        padding += size - actual;
    }
    throw std::runtime_error("zip of exact size could not be built");
}

fs::path UpdateFixture::zipFile(const fs::path& item, const std::string& name) {
    const fs::path folder = packFolder();
    fs::copy(item, folder / item.filename(), fs::copy_options::recursive);
    return buildZip(folder, dir / "built" / name);
}

fs::path UpdateFixture::diskImageFile(const fs::path& item, const std::string& name) {
    const fs::path folder = packFolder();
    fs::copy(item, folder / item.filename(), fs::copy_options::recursive);
    return buildDiskImage(folder, dir / "built" / name);
}

RemoteVersion UpdateFixture::publish(const fs::path& file, const std::string& path,
                                     const std::string& version) {
    server.script(path, {Reply::fromFile(file)});
    RemoteVersion remote;
    remote.source = AppSource::homebrew;
    remote.version = version;
    remote.downloadURL = server.url(path);
    remote.sha256 = platform::sha256HexOfFile(file.string());
    remote.sizeBytes = static_cast<std::int64_t>(fs::file_size(file));
    return remote;
}

UpdateRun UpdateFixture::update(const InstalledApp& app, const RemoteVersion& remote, bool dryRun,
                                std::stop_token stop) {
    UpdateRun run;
    std::mutex mutex;
    EngineOptions options;
    options.dryRun = dryRun;
    try {
        run.result = engine->update(
            app, remote, options,
            [&](const std::string& text) {
                {
                    std::lock_guard lock(mutex);
                    run.texts.push_back(text);
                }
                if (onText) onText(text);
            },
            [&](std::int64_t got, std::int64_t expected) {
                {
                    std::lock_guard lock(mutex);
                    run.bytes.emplace_back(got, expected);
                }
                if (onBytes) onBytes(got, expected);
            },
            std::move(stop));
    } catch (...) {
        run.error = std::current_exception();
    }
    return run;
}

std::vector<Json> UpdateFixture::events() {
    journal->flush();
    std::vector<Json> out;
    std::istringstream in(readText(journal->file().filePath()));
    for (std::string line; std::getline(in, line);) {
        Json j = Json::parse(line);
        j.erase("ts");
        j.erase("run");
        j.erase("schemaVersion");
        out.push_back(std::move(j));
    }
    return out;
}

std::vector<Json> UpdateFixture::events(const std::string& name) {
    std::vector<Json> all = events();
    std::erase_if(all, [&](const Json& j) { return j.value("event", "") != name; });
    return all;
}

std::vector<fs::path> UpdateFixture::workDirs() const {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(temporaryRoot(), ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path());
    return out;
}

fs::path UpdateFixture::cacheFile(const std::string& bundleID, const std::string& version,
                                  const std::string& filename) const {
    return DownloadCache::path(bundleID, version, filename).filePath();
}

std::map<std::string, std::string> UpdateFixture::snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    auto add = [&](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            out[p.string()] = "missing";
            return;
        }
        std::string entry = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
        if (S_ISREG(st.st_mode)) entry += " " + platform::sha256HexOfFile(p.string());
        out[p.string()] = entry;
    };
    add(root);
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(root, ec)))
        for (const auto& e : fs::recursive_directory_iterator(root))
            add(e.path());
    return out;
}

} // namespace pelsupport
