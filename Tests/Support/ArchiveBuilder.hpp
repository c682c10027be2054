#pragma once

// Archive fixtures built from a folder tree (fixture bundles, package stand-ins, links). Each builder
// packs the folder's contents, not the folder itself, runs the machine's real tools directly (not
// through pelkit::Proc, so a test's tool overrides and time-out caps do not reach them) and throws
// std::runtime_error when a tool fails.
//
//     auto zip = pelsupport::buildZip(tree, dir / "Foo.zip");   // Foo.app at the top of the archive
//
// Symbolic links are stored as links in every format.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

// `zip -r -y`: links kept as links.
std::filesystem::path buildZip(const std::filesystem::path& folder, const std::filesystem::path& out);
// tar, gzip-compressed.
std::filesystem::path buildTarGz(const std::filesystem::path& folder, const std::filesystem::path& out);
// tar, bzip2-compressed.
std::filesystem::path buildTarBz2(const std::filesystem::path& folder, const std::filesystem::path& out);
// The disk-image stand-in the fake `hdiutil` mounts: an uncompressed tar of the volume's contents
// followed by a 512-byte trailer that begins "koly" and, as a real image's does, records the
// image's size as a big-endian sector count at byte 492 (zeros elsewhere): the tar's size in
// 512-byte sectors.
std::filesystem::path buildDiskImage(const std::filesystem::path& folder, const std::filesystem::path& out);
// The same stand-in recording `sectors` as the image's size.
std::filesystem::path buildDiskImageOfSectors(const std::filesystem::path& folder,
                                              const std::filesystem::path& out, std::uint64_t sectors);
// `gzip -c file`: a gzip stream that is no tar.
std::filesystem::path gzipFile(const std::filesystem::path& file, const std::filesystem::path& out);

// Raw tar pieces, for archives no tool writes.
// `v` in octal, zero-padded to `width` - 1 digits and NUL-ended: a header's number field.
std::string tarOctal(std::uint64_t v, std::size_t width);
// One header block with POSIX magic; `sizeField` is the raw 12-byte size field. Its checksum is
// the sum of its bytes taken as unsigned, or as signed (the form of old writers).
std::string tarHeader(const std::string& name, const std::string& sizeField, char type,
                      bool signedChecksum = false);
// Recomputes a header's checksum after its bytes were changed.
void setTarChecksum(std::string& header, bool signedChecksum = false);
// `data` padded with NULs to whole 512-byte blocks.
std::string tarBlocks(std::string data);
// An extended header's records ("<length> <key>=<value>\n" each) as a header of `type` and its data.
std::string paxHeader(const std::vector<std::pair<std::string, std::string>>& records, char type = 'x');

// Runs a real tool by absolute path in `workingDirectory` (empty: the current one), standard output and
// error captured together; throws std::runtime_error with that output on a non-zero exit.
void runRealTool(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory = {});

} // namespace pelsupport
