#pragma once

// The verifier over a fixture bundle with the fake codesign and spctl: every run checks that the
// verifier changed no file.

#include "PelKit/Verifier.hpp"

#include "PelKit/Config.hpp"
#include "Platform/Sha256.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/FakeVerifyTools.hpp"
#include "Support/SharedTestDB.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pelkit {

inline void PrintTo(const VerifyStep& s, std::ostream* os) {
    *os << "{" << s.name << ", " << (s.passed ? "passed" : "failed") << ", \"" << s.detail << "\"}";
}

namespace verifiertest {

namespace fs = std::filesystem;

using Steps = std::vector<VerifyStep>;
inline const VerifyStep sizeNone{"size", true, "no expected size"};
inline const VerifyStep hashNone{"sha256", true, "no expected hash"};
inline const VerifyStep extracted{"extract", true, "already extracted"};
inline const VerifyStep signatureValid{"signature", true, "valid"};
inline const VerifyStep teamMatch{"teamID", true, "match ABCDE12345"};
inline const VerifyStep gatekeeperAccepted{"gatekeeper", true, "accepted"};
inline const VerifyStep bundleMatch{"bundleID", true, "match com.example.app"};
inline const VerifyStep versionOK{"versionSanity", true, "downloaded=2.0 (build 300) advertised=2.0"};

// Names, sizes, modes and times of everything under `root`, and the content of its files.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    auto add = [&](const fs::path& p) {
        struct stat st {};
        ::lstat(p.c_str(), &st);
        std::string entry = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) entry += " " + platform::sha256HexOfFile(p.string());
        out[p.string()] = entry;
    };
    add(root);
    if (fs::is_directory(root))
        for (const auto& e : fs::recursive_directory_iterator(root))
            add(e.path());
    return out;
}

class VerifierTest : public ::testing::Test {
protected:
    pelsupport::TempDir dir{"pel-verify"};
    pelkit::testing::ScopedHomeOverride home{dir / "home"};
    pelsupport::SharedTestDB db{dir / "pel.db"};
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes{tools};
    fs::path download = dir / "App.zip";
    fs::path bundle;
    InstalledApp installed;
    RemoteVersion remote;
    std::optional<OverrideEntry> overrides;

    void SetUp() override {
        pelsupport::addCodesignVerify(fakes);
        pelsupport::installFakeSpctl(tools);
        pelsupport::writeText(download, std::string(1000, 'z'));
        bundle = build(pelsupport::BundleBuilder("App.app")
                           .bundleID("com.example.app")
                           .shortVersion("2.0")
                           .buildVersion("300"));
        installed.path = Url::fromFilePath("/Applications/App.app");
        installed.bundleID = "com.example.app";
        installed.name = "App";
        installed.shortVersion = "1.0";
        installed.teamID = pelsupport::FakeBundleTools::defaultTeamID;
        remote.source = AppSource::homebrew;
        remote.version = "2.0";
    }

    fs::path build(const pelsupport::BundleBuilder& b) { return b.build(dir / "extracted"); }

    VerifyResult verify(std::optional<std::int64_t> size = std::nullopt,
                        std::optional<std::string> sha = std::nullopt) {
        const auto before = snapshot(dir / "extracted");
        const auto downloadBefore = snapshot(download);
        VerifyResult r =
            Verifier::verify(Url::fromFilePath(download.string()), Url::fromFilePath(bundle.string()), size,
                             sha, installed, remote, overrides, nullptr);
        EXPECT_EQ(snapshot(dir / "extracted"), before) << "the verifier changes no file";
        EXPECT_EQ(snapshot(download), downloadBefore) << "the verifier changes no file";
        return r;
    }

    void expectPassed(const VerifyResult& r, const Steps& steps) {
        EXPECT_EQ(r.steps, steps);
        EXPECT_FALSE(r.aborted);
        EXPECT_FALSE(r.abortCode);
        EXPECT_FALSE(r.abortMessage);
        ASSERT_TRUE(r.extractedApp);
        EXPECT_EQ(r.extractedApp->filePath(), bundle.string());
    }

    void expectAborted(const VerifyResult& r, const Steps& steps, ErrorCode code,
                       const std::string& message) {
        EXPECT_EQ(r.steps, steps);
        EXPECT_TRUE(r.aborted);
        EXPECT_EQ(r.abortCode, code);
        EXPECT_EQ(r.abortMessage, message);
        EXPECT_FALSE(r.extractedApp);
    }
};

} // namespace verifiertest
} // namespace pelkit
