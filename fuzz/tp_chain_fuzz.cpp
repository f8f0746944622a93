// Fuzz target: the transport-protocol chain (ISO-TP, J1939 TP, fast-packet sessions and the MUX
// container) as the product wires it, driven by frame sequences decoded from the input.
//
// The chain is configured by tpChainCreate from two fixed databases: a CAN database with an ISO-TP
// message on a standard and an extended identifier and a MUX container, and a J1939 database with a
// fast-packet message, a MUX container and (as every J1939 database) the J1939 TP announcements. CAN
// and J1939 share channel 1; channel 2 has the CAN database, 3 the J1939 database, 4 none.
//
// Input: a sequence of items. An item whose first byte is 0xE0 or more ends the current file and
// starts another (continuing the previous one when bit 0 is set). Any other first byte starts a frame:
// its low 5 bits choose an identifier from a table of interesting ones (past the table, 4 more bytes
// give a raw identifier, bit 31 marking it extended); a second byte gives the channel (bits 0-1, plus
// one), the bus kind (bits 2-4: CAN for 0-4, then LIN, MUX status, none) and the FD flag (bit 5); a
// third byte gives the data length (8 when bit 7 is clear, else bits 0-6 modulo 65), followed by the
// data bytes (zeros once the input ends).
//
// Checks: the manager never asks the walker to stop, nothing passed on is longer than a transport
// protocol can carry, every record reaching the writer decodes against the databases, and the open
// sessions are the unfinished ones of the summary.

#include "app/run_config.h"
#include "app/tp_chain.h"
#include "db/dbc_parser.h"
#include "db/signal_decode.h"
#include "fuzz_support.h"
#include "platform/byte_stream.h"
#include "tp/iso_tp_session.h"

#include <string_view>

using namespace loglathe;

namespace {

// ISO-TP on 0x7E8 and on extended 0x18DA00F1, a MUX container on 0x600 whose items go to channels
// 2, 3, 1 and 4, and a plain message the container's items may carry.
constexpr std::string_view kCanDbc = R"(VERSION ""
BU_: ECU GW
BO_ 256 EngineData: 8 ECU
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" GW
 SG_ Mode M : 16|8@1+ (1,0) [0|3] "" GW
 SG_ Pressure m1 : 24|16@0- (0.1,0) [-100|100] "kPa" GW
BO_ 2024 DiagResponse: 20 ECU
 SG_ ServiceId : 0|8@1+ (1,0) [0|255] "" GW
 SG_ Odometer : 24|32@1+ (0.1,0) [0|429496729.5] "km" GW
BO_ 2564423921 DiagExtended: 64 ECU
 SG_ Word : 0|64@1+ (1,0) [0|0] "" GW
BO_ 1536 Container: 64 GW
 SG_ ContainerBytes : 0|8@1+ (1,0) [0|255] "" ECU
BA_DEF_  "BusType" STRING ;
BA_DEF_ BO_ "TransportProtocolType" STRING ;
BA_ "BusType" "CAN";
BA_ "TransportProtocolType" BO_ 2024 "ISOTP";
BA_ "TransportProtocolType" BO_ 2564423921 "ISOTP";
BA_ "TransportProtocolType" BO_ 1536 "MUXTP#2:3:1:4";
)";

// Fast packet on PGN 0x1F805, a MUX container on PGN 0xFF10 whose items go to channels 1, 2, 4 and
// 3, and a message longer than a frame for J1939 TP transfers.
constexpr std::string_view kJ1939Dbc = R"(VERSION ""
BU_: Engine Nav
BO_ 2566843390 ComponentId: 20 Engine
 SG_ ModelYear : 0|16@1+ (1,0) [1980|2100] "" Nav
 SG_ SerialNumber : 16|32@1+ (1,0) [0|4294967295] "" Nav
BO_ 2381841666 GnssPosition: 18 Nav
 SG_ Latitude : 8|32@1- (1E-007,0) [-90|90] "deg" Engine
 SG_ Hdop : 112|16@1- (0.01,0) [-327.68|327.67] "" Engine
BO_ 2365526067 J1939Container: 64 Engine
 SG_ ContainerBytes : 0|8@1+ (1,0) [0|255] "" Nav
BA_DEF_  "BusType" STRING ;
BA_DEF_  "ProtocolType" STRING ;
BA_DEF_ BO_ "TransportProtocolType" STRING ;
BA_ "BusType" "CAN";
BA_ "ProtocolType" "J1939";
BA_ "TransportProtocolType" BO_ 2381841666 "NMEATP";
BA_ "TransportProtocolType" BO_ 2365526067 "MUXTP#1:2:4:3";
)";

struct Identifier {
    uint32_t value;
    bool extended;
};

constexpr Identifier kIdentifiers[] = {
    {0x7E8, false},     {0x600, false},     {0x100, false},     {0x18DA00F1, true}, // CAN database
    {0x18ECFF25, true}, {0x18EBFF25, true}, {0x1CEC1025, true}, {0x1CEB1025, true}, // TP.CM, TP.DT
    {0x1CEC2510, true}, {0x09F80523, true}, {0x0CFF1033, true}, {0x18FEEB00, true},
    {0x09F80555, true}, {0x0CFF1077, true}, {0x7E0, false},     {0x18EC0000, true},
    {0x18EB0000, true}, {0x1CECFF25, true}, {0x601, false},     {0x12345678, true},
};

std::unique_ptr<MessageDb> parseFixed(std::string_view text) {
    MemoryStream stream(text);
    std::unique_ptr<MessageDb> db = dbcParse(stream);
    FUZZ_CHECK(db != nullptr);
    return db;
}

const RunConfig& fixedConfig() {
    static const std::unique_ptr<RunConfig> config = [] {
        std::unique_ptr<RunConfig> c = runConfigCreate();
        c->canDbs.add(1, parseFixed(kCanDbc));
        c->canDbs.add(1, parseFixed(kJ1939Dbc));
        c->canDbs.add(2, parseFixed(kCanDbc));
        c->canDbs.add(3, parseFixed(kJ1939Dbc));
        return c;
    }();
    return *config;
}

// The end of the chain: takes every record and decodes what the databases know, like the writer.
class DecodingSink final : public MessageSink {
public:
    explicit DecodingSink(const RunConfig& config) : config_(config) {}

    bool onRecord(LogRecord& record) override {
        FUZZ_CHECK(record.payload.size() <= kIsoTpPayloadLimit);
        ++records;
        if (record.bus != kBusCan)
            return true;
        for (const auto& db : config_.canDbs.channel(record.channel))
            dbDecode(db.get(), frameKey(db->busType, record.identifier, record.extended), record.payload,
                     decoded_);
        return true;
    }
    bool onFileStart(const FileInfo&, bool) override { return true; }
    bool onFileEnd(const FileInfo&) override { return true; }

    uint64_t records = 0;

private:
    const RunConfig& config_;
    DecodedMessage decoded_;
};

LogRecord nextFrame(uint8_t op, fuzz::ByteCursor& input, double timestamp) {
    LogRecord record;
    std::size_t index = op & 0x1F;
    if (index < std::size(kIdentifiers)) {
        record.identifier = kIdentifiers[index].value;
        record.extended = kIdentifiers[index].extended;
    } else {
        uint32_t raw = uint32_t(input.integer(4));
        record.extended = ((raw >> 31) & 1) != 0;
        record.identifier = raw & (record.extended ? 0x1FFFFFFFu : 0x7FFu);
    }
    uint8_t meta = input.byte();
    record.channel = uint8_t((meta & 3) + 1);
    static constexpr BusKind kBusKinds[8] = {kBusCan, kBusCan, kBusCan,       kBusCan,
                                             kBusCan, kBusLin, kBusMuxStatus, kBusNone};
    record.bus = kBusKinds[(meta >> 2) & 7];
    record.fd = ((meta >> 5) & 1) != 0;
    uint8_t lengthCode = input.byte();
    std::size_t length = (lengthCode & 0x80) ? (lengthCode & 0x7F) % 65 : 8;
    std::span<const uint8_t> bytes = input.bytes(length);
    record.payload.assign(bytes.begin(), bytes.end());
    record.payload.resize(length);
    record.length = uint8_t(length);
    record.timestamp = timestamp;
    return record;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const RunConfig& config = fixedConfig();
    DecodingSink writer(config);
    std::unique_ptr<TpChain> chain = tpChainCreate(config, writer);
    FUZZ_CHECK(chain && chain->tpUsed && chain->walkerSink == chain->manager.get());
    MessageSink& head = *chain->walkerSink;

    FileInfo info;
    info.loggerId = "FUZZ";
    FUZZ_CHECK(head.onFileStart(info, false));
    fuzz::ByteCursor input(data, size);
    double timestamp = 1700000000.0;
    while (!input.empty()) {
        uint8_t op = input.byte();
        if (op >= 0xE0) {
            FUZZ_CHECK(head.onFileEnd(info));
            FUZZ_CHECK(head.onFileStart(info, (op & 1) != 0));
            continue;
        }
        timestamp += 0.001;
        LogRecord record = nextFrame(op, input, timestamp);
        FUZZ_CHECK(head.onRecord(record));
    }
    FUZZ_CHECK(head.onFileEnd(info));

    TpSummary summary = tpManagerSummary(*chain->manager);
    FUZZ_CHECK(summary.unfinished == chain->manager->openSessions());
    return 0;
}
