// Fuzz target: the DBC parser and loader on a whole file, then decoding of payloads against whatever
// database the file yields.
//
// Input: the text of one DBC file. When it loads, every message (up to a bound) is decoded from
// payloads derived from the input: of its declared length, of classic and FD frame sizes, empty,
// random lengths and contents; random frame identifiers are looked up through the key rule of the
// database's bus type; and the database is rendered as its JSON dump.

#include "db/db_dump.h"
#include "db/dbc_parser.h"
#include "db/keys.h"
#include "db/signal_decode.h"
#include "fuzz_support.h"
#include "platform/byte_stream.h"

#include <algorithm>
#include <string_view>
#include <vector>

using namespace loglathe;

namespace {

constexpr std::size_t kMaxMessages = 512;
constexpr std::size_t kPayloadsPerMessage = 6;
constexpr std::size_t kRandomFrames = 64;
constexpr uint32_t kMaxPayload = 8192;

void fill(std::vector<uint8_t>& payload, std::size_t length, fuzz::Mixer& mixer) {
    payload.resize(length);
    uint32_t style = mixer.below(4);
    for (uint8_t& byte : payload)
        byte = style == 0 ? 0x00 : style == 1 ? 0xFF : uint8_t(mixer.next());
}

void decodeMessage(const MessageDb& db, DbMsgKey key, const DbMessage& message, fuzz::Mixer& mixer,
                   std::vector<uint8_t>& payload, DecodedMessage& out) {
    // A declared length may be anything up to 2^32 - 1; payloads stay within what a transport
    // protocol can deliver.
    const uint32_t declared = std::min<uint32_t>(message.length, kMaxPayload);
    const std::size_t lengths[kPayloadsPerMessage] = {
        declared, 8, 64, 0, mixer.below(80), mixer.below(declared + 9)};
    for (std::size_t length : lengths) {
        fill(payload, length, mixer);
        bool decoded = dbDecode(&db, key, payload, out);
        FUZZ_CHECK(decoded == !message.ignored);
        FUZZ_CHECK(decoded ? out.message == &message : out.values.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    MemoryStream stream(std::string_view(reinterpret_cast<const char*>(data), size));
    std::unique_ptr<MessageDb> db = dbcParse(stream);
    if (!db)
        return 0;
    FUZZ_CHECK(db->busType == BusType::Can || db->busType == BusType::J1939 || db->busType == BusType::Lin);

    fuzz::Mixer mixer = fuzz::Mixer::of(data, size);
    std::vector<uint8_t> payload;
    DecodedMessage out;
    std::size_t visited = 0;
    for (const auto& [key, message] : db->messages) {
        FUZZ_CHECK(message.db == db.get());
        if (visited++ == kMaxMessages)
            break;
        decodeMessage(*db, key, message, mixer, payload, out);
    }

    // Frames of random identifiers, and of the identifiers of known messages with random priority,
    // source and destination bits, looked up as the writer looks them up.
    std::vector<DbMsgKey> keys;
    for (const auto& entry : db->messages)
        keys.push_back(entry.first);
    for (std::size_t i = 0; i < kRandomFrames; ++i) {
        uint32_t identifier = uint32_t(mixer.next());
        bool extended = mixer.below(2) != 0;
        if (!keys.empty() && mixer.below(2) == 0) {
            DbMsgKey known = keys[mixer.below(uint32_t(keys.size()))];
            extended = (known & 0x80000000u) != 0;
            identifier = extended ? (known & 0x1FFFFFFFu) | (identifier & 0x1C00FFFFu) : known;
        }
        fill(payload, mixer.below(65), mixer);
        DbMsgKey key = frameKey(db->busType, identifier, extended);
        const DbMessage* message = dbFind(db.get(), key);
        bool decoded = dbDecode(db.get(), key, payload, out);
        FUZZ_CHECK(decoded == (message && !message->ignored));
    }

    std::string json = dbDumpJson(*db);
    FUZZ_CHECK(!json.empty());
    return 0;
}
