#pragma once

// Fake `ditto` and `hdiutil` on the FakeTools kit.
//
//     pelsupport::FakeTools tools;
//     pelsupport::installFakeDitto(tools);
//     pelsupport::installFakeHdiutil(tools);
//     auto image = pelsupport::buildDiskImage(volume, dir / "Foo.dmg");
//     pelkit::Installer::extract(Url::fromFilePath(image), Url::fromFilePath(dir / "extracted"));
//     EXPECT_EQ(pelsupport::detachedTargets(tools).size(), 1u);
//
// ditto:
//   "-x -k --sequesterRsrc A D"  unpacks the zip A into D with the real `unzip` (links kept); unzip's
//                                messages go to standard error, and a failure exits 1.
//   "S D"                        copies S to D (a folder's contents merge into an existing D; missing
//                                parents of D are made).
// Rules placed before the default behaviour answer the calls they match, for example to fail only the
// copy into a backups folder: {.argsInclude = {backupPath}, .reply = {.exitStatus = 1, .err = "..."}}.
// `dittoReply()` is the default behaviour as a reply, so a rule can add a delay and still copy.
//
// hdiutil (`HdiutilMode`):
//   "attach … -mountrandom R -plist IMG"  drops IMG's last 512 bytes, unpacks the tar into a new folder
//                                          under R and prints a plist shaped like the real one: a
//                                          whole-disk entity with "dev-entry" only, then a partition
//                                          entity with "dev-entry" and "mount-point".
//   "detach -force X"                      removes X when it is a folder this fake mounted, or the
//                                          mount of the attached image whose device X is (anything
//                                          else is only logged).
//   "info -plist"                          lists the images attached and not yet detached, shaped
//                                          like the real output ("images", each with "image-path"
//                                          and the two entities); paths are written unescaped.

#include "Support/FakeTools.hpp"

#include <string>
#include <vector>

namespace pelsupport {

FakeReply dittoReply();
void installFakeDitto(FakeTools& tools, std::vector<FakeRule> rulesBefore = {});

enum class HdiutilMode {
    mount,        // behaves as described above
    attachFails,  // exit 1 with `attachError` on standard error, nothing mounted
    unparsable,   // exit 0, standard output that is no property list, nothing mounted
    noMountPoint, // exit 0, both entities with "dev-entry" only, nothing mounted
    attachOutlivesTimeOut, // mounts, then waits until stopped (give attach a short time-out)
    // The image carries a licence agreement: attach prints `licence` and then the prompt
    // "Agree Y/N? " on standard output and reads one line from standard input. An answer that
    // begins with Y or y goes on as `mount`; any other, end of input included, exits 1 with
    // "hdiutil: attach canceled" on standard error, nothing mounted.
    licence,
};

struct HdiutilOptions {
    HdiutilMode mode = HdiutilMode::mount;
    std::string attachError = "hdiutil: attach failed - image not recognized\n";
    bool detachFails = false; // every detach exits 16, "Resource busy", changing nothing
    std::string licence = "SOFTWARE LICENSE AGREEMENT\n\nUse of this software is subject to the terms "
                          "below.\n1. You may install and use one copy.\n\n";
};

// The whole-disk device the fake reports for its n-th call ("/dev/disk<n+3>"); the partition is that
// plus "s1".
std::string fakeDiskDevice(int toolCall);

void installFakeHdiutil(FakeTools& tools, const HdiutilOptions& options = {});

// The X of every logged "hdiutil detach -force X", in order.
std::vector<std::string> detachedTargets(const FakeTools& tools);
// The image paths attached and not yet detached, in attach order.
std::vector<std::string> attachedImages(const FakeTools& tools);
// The mount points this fake created that are still there (not yet detached).
std::vector<std::string> attachedMountPoints(const FakeTools& tools);

} // namespace pelsupport
