#pragma once

#include "PelKit/DB.hpp"

#include <filesystem>

namespace pelsupport {

// A fresh database standing in for DB::shared() while it lives.
struct SharedTestDB {
    pelkit::DB db;
    explicit SharedTestDB(const std::filesystem::path& file) : db(platform::Url::fromFilePath(file.string())) {
        pelkit::testing::setSharedDB(&db);
    }
    ~SharedTestDB() { pelkit::testing::setSharedDB(nullptr); }
    SharedTestDB(const SharedTestDB&) = delete;
    SharedTestDB& operator=(const SharedTestDB&) = delete;
};

}  // namespace pelsupport
