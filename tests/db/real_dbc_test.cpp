// Loads every DBC file of the shared folder of real, public databases: each loads, or fails cleanly
// on colliding keys, places as many signals as the table below states for it, and dumps valid JSON.

#include "db/db_dump.h"
#include "db/dbc_parser.h"
#include "db/signal_decode.h"

#include "support/diag_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace loglathe {
namespace {

namespace fs = std::filesystem;
using test::DiagCapture;

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
    auto stream = fileStreamOpen(path.c_str(), FileStreamKind::Read);
    if (!stream)
        return nullptr;
    auto db = dbcParse(*stream);
    streamClose(stream);
    return db;
}

// What a file loads into: its messages and the signals placed in them, a signal counted once for
// every multiplex group it was copied into. A file that fails to load has neither.
struct Placed {
    std::size_t messages = 0;
    std::size_t signals = 0;
    bool operator==(const Placed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Placed& p) {
    return out << p.messages << " messages, " << p.signals << " signals";
}

std::size_t countSignals(const std::vector<DbSignal>& signals) {
    std::size_t n = signals.size();
    for (const DbSignal& s : signals)
        for (const MuxGroup& g : s.muxGroups)
            n += countSignals(g.signals);
    return n;
}

// Every file of the shared folder by its path below it. Signals a file carries but does not place
// are errors of the file: bits beyond their message (canmatrix j1939.dbc: 32, vw_pq.dbc: 14),
// a second signal of one name in a message (canmatrix j1939.dbc: 8), the pseudo-message
// VECTOR__INDEPENDENT_SIG_MSG (psa_aee2010_r3.dbc: 106), a message whose multiplexor is written "m"
// (vw_pq.dbc: 5), and colliding keys, which fail a whole file (vw_mqbevo.dbc).
const std::map<std::string, Placed> kPlaced = {
    {"canboat/canboat.dbc", {345, 1382}},
    {"canmatrix/j1939.dbc", {357, 2350}},
    {"cantools/big_numbers.dbc", {2, 2}},
    {"cantools/floating_point.dbc", {2, 3}},
    {"cantools/foobar.dbc", {5, 8}},
    {"cantools/issue_184_extended_mux_cascaded.dbc", {1, 5}},
    {"cantools/issue_184_extended_mux_independent_multiplexors.dbc", {1, 6}},
    {"cantools/issue_184_extended_mux_multiple_values.dbc", {1, 5}},
    {"cantools/issue_207_sig_plus.dbc", {1, 2}},
    {"cantools/j1939.dbc", {2, 2}},
    {"cantools/long_names.dbc", {10, 13}},
    {"cantools/multiplex.dbc", {1, 20}},
    {"cantools/multiplex_2.dbc", {4, 20}},
    {"cantools/signed.dbc", {11, 18}},
    {"cantools/vehicle.dbc", {217, 462}},
    {"opendbc/ESR.dbc", {80, 868}},
    {"opendbc/cadillac_ct6_object.dbc", {294, 2720}},
    {"opendbc/fca_giorgio.dbc", {37, 155}},
    {"opendbc/ford_lincoln_base_pt.dbc", {331, 2150}},
    {"opendbc/gm_global_a_high_voltage_management.dbc", {12, 125}},
    {"opendbc/gm_global_a_lowspeed_1818125.dbc", {367, 3210}},
    {"opendbc/hyundai_2015_ccan.dbc", {113, 1154}},
    {"opendbc/psa_aee2010_r3.dbc", {107, 430}},
    {"opendbc/tesla_can.dbc", {44, 572}},
    {"opendbc/tesla_model3_party.dbc", {21, 240}},
    {"opendbc/toyota_tss2_adas.dbc", {35, 183}},
    {"opendbc/vw_mlb.dbc", {145, 1442}},
    {"opendbc/vw_mqbevo.dbc", {0, 0}},
    {"opendbc/vw_pq.dbc", {86, 1312}},
};

bool writeFile(const fs::path& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

// The dump files that python3's JSON reader rejects, one name a line, read by a single python3 run.
std::string invalidJsonFiles(const fs::path& folder) {
    std::string command = "cd '" + folder.string() +
                          "' && python3 -c 'import json, sys\n"
                          "for name in sys.argv[1:]:\n"
                          "    try:\n"
                          "        json.load(open(name, encoding=\"utf-8\"))\n"
                          "    except Exception:\n"
                          "        print(name)' *.json 2>&1";
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        pclose(pipe);
    }
    return output;
}

TEST(RealDbc, EveryFilePlacesItsSignalsAndDumpsValidJson) {
    fs::path folder = dbcFolder();
    std::error_code error;
    if (!fs::is_directory(folder, error))
        GTEST_SKIP() << "no DBC folder at " << folder;
    std::vector<fs::path> files = dbcFiles(folder);
    ASSERT_FALSE(files.empty());

    char scratchTemplate[] = "/tmp/loglathe_real_dbc_XXXXXX";
    ASSERT_TRUE(mkdtemp(scratchTemplate));
    fs::path scratch = scratchTemplate;
    // A folder given by LOGLATHE_DBC_DIR may hold other files than the table's: they are only loaded.
    std::vector<std::string> unlisted;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string name = files[i].lexically_relative(folder).string();
        SCOPED_TRACE(name);
        DiagCapture diag(kDiagError);
        auto db = load(files[i]);
        Placed placed;
        if (db) {
            placed.messages = db->messages.size();
            for (const auto& [key, message] : db->messages)
                placed.signals += countSignals(message.signals);
            std::string json = dbDumpJson(*db);
            EXPECT_TRUE(json.starts_with("{\"bus\":\"") && json.ends_with("]}"));
            // Numbered, since files in different folders may share a name.
            EXPECT_TRUE(
                writeFile(scratch / (std::to_string(i) + "-" + files[i].stem().string() + ".json"), json));
        } else {
            // A file fails as a whole only on colliding keys.
            EXPECT_TRUE(diag.has("Message key collision"));
        }
        auto expected = kPlaced.find(name);
        if (expected == kPlaced.end()) {
            unlisted.push_back(name + ": " + std::to_string(placed.signals) + " signals");
            continue;
        }
        ++listed;
        EXPECT_EQ(placed, expected->second);
    }
    if (listed > 0) {
        EXPECT_EQ(listed, kPlaced.size()) << "files of the table missing from " << folder;
        EXPECT_EQ(unlisted, std::vector<std::string>{}) << "files to add to the table";
    }

    bool python = std::system("python3 -c '' >/dev/null 2>&1") == 0;
    if (python) {
        EXPECT_EQ(invalidJsonFiles(scratch), "");
    }
    fs::remove_all(scratch, error);
    if (!python)
        GTEST_SKIP() << "python3 not available to check the JSON dumps";
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
