// Loads every DBC file of the shared folder of real, public databases: each must load or fail
// cleanly, and the dump of each loaded one must be valid JSON.

#include "db/db_dump.h"
#include "db/dbc_parser.h"
#include "db/signal_decode.h"

#include "diag_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace loglathe {
namespace {

namespace fs = std::filesystem;

fs::path dbcFolder() {
    if (const char* dir = std::getenv("LOGLATHE_DBC_DIR"))
        return dir;
    return fs::path(LOGLATHE_SOURCE_DIR) / ".." / "shared" / "dbc";
}

std::vector<fs::path> dbcFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error) && it->path().extension() == ".dbc")
            files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

std::unique_ptr<MessageDb> load(const fs::path& path) {
    auto stream = fileStreamOpen(path.c_str(), 0);
    if (!stream)
        return nullptr;
    auto db = dbcParse(*stream);
    streamClose(stream);
    return db;
}

bool writeFile(const fs::path& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

// Names of the dump files python3's JSON reader rejects (one line each).
std::string invalidJsonFiles(const fs::path& folder) {
    std::string command =
        "cd '" + folder.string() +
        "' && for f in *.json; do python3 -m json.tool \"$f\" >/dev/null 2>&1 || echo \"$f\"; done";
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        pclose(pipe);
    }
    return output;
}

TEST(RealDbc, EveryFileLoadsOrFailsCleanlyAndDumpsValidJson) {
    fs::path folder = dbcFolder();
    std::error_code error;
    if (!fs::is_directory(folder, error))
        GTEST_SKIP() << "no DBC folder at " << folder;
    std::vector<fs::path> files = dbcFiles(folder);
    ASSERT_FALSE(files.empty());
    bool python = std::system("python3 -c '' >/dev/null 2>&1") == 0;

    char scratchTemplate[] = "/tmp/loglathe_real_dbc_XXXXXX";
    ASSERT_TRUE(mkdtemp(scratchTemplate));
    fs::path scratch = scratchTemplate;
    std::size_t loaded = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        DiagCapture diag(kDiagError);
        auto db = load(files[i]);
        if (!db) {
            // The set holds one file whose identifiers collide; such a file fails as a whole.
            ++failed;
            EXPECT_TRUE(diag.text().find("Message key collision") != std::string::npos) << files[i];
            continue;
        }
        ++loaded;
        std::string json = dbDumpJson(*db);
        EXPECT_TRUE(json.starts_with("{\"bus\":\"") && json.ends_with("]}")) << files[i];
        // Numbered, since files in different folders may share a name.
        EXPECT_TRUE(
            writeFile(scratch / (std::to_string(i) + "-" + files[i].stem().string() + ".json"), json));
    }
    EXPECT_LE(failed, 1u);
    EXPECT_EQ(loaded + failed, files.size());
    if (python) {
        EXPECT_EQ(invalidJsonFiles(scratch), "");
    }
    fs::remove_all(scratch, error);
    if (!python)
        GTEST_SKIP() << "python3 not available to check the JSON of " << loaded << " dumps";
}

TEST(RealDbc, DecodesCascadedExtendedMultiplexing) {
    fs::path path;
    for (const fs::path& file : dbcFiles(dbcFolder()))
        if (file.filename() == "issue_184_extended_mux_cascaded.dbc")
            path = file;
    if (path.empty())
        GTEST_SKIP() << "no cascaded multiplexing file in " << dbcFolder();
    DiagCapture quiet(kDiagNone);
    auto db = load(path);
    ASSERT_TRUE(db);
    // The default ProtocolType is J1939, so identifier 0x80000001 is keyed as PGN 0 (PDU1).
    EXPECT_EQ(db->busType, BusType::J1939);
    DecodedMessage decoded;
    std::vector<uint8_t> payload{2, 1, 0xFE, 0xFB, 0, 0, 0, 0};
    ASSERT_TRUE(dbDecode(db.get(), 0x80000000, payload, decoded));
    ASSERT_EQ(decoded.values.size(), 3u);
    EXPECT_EQ(decoded.values[0].name, "MUX_A");
    EXPECT_EQ(decoded.values[0].value, 2.0);
    EXPECT_EQ(decoded.values[1].name, "muxed_A_2_MUX_B");
    EXPECT_EQ(decoded.values[1].value, 1.0);
    EXPECT_EQ(decoded.values[2].name, "muxed_B_1");
    EXPECT_EQ(decoded.values[2].value, -5.0);
}

} // namespace
} // namespace loglathe
