#include "app/tp_chain.h"

#include "pattern/pattern.h"
#include "platform/diag_log.h"

#include <cstdlib>
#include <string>

namespace loglathe {

namespace {

// MUXTP#1:2:3:4 -> the target channels of item indexes 0..3, each kept to its low 8 bits.
bool parseMuxParameter(const std::string& parameter, MuxChannelTable& table) {
    auto pattern = patternCompile("^MUXTP#(\\d+)\\:(\\d+)\\:(\\d+)\\:(\\d+)$");
    std::vector<std::string_view> groups;
    if (!pattern || !pattern->match(parameter, groups))
        return false;
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::string digits(groups[i]);
        table[i] = static_cast<uint8_t>(std::strtoul(digits.c_str(), nullptr, 10) & 0xFF);
    }
    return true;
}

void configureMessage(TpChain& chain, const MessageDb& db, uint8_t channel, DbMsgKey key,
                      const DbMessage& message) {
    if (!tpManagerConfigure(*chain.manager, db.busType, channel, key, message.transportProtocol))
        diagLog(kDiagError, "Failed to add TP config");
    if (message.transportProtocol == TransportProtocolType::MuxTp) {
        MuxChannelTable table{};
        if (!parseMuxParameter(message.tpParameter, table))
            diagLog(kDiagError, "Failed to add MUX config");
        else if (!muxConfigure(*chain.mux, kBusCan, channel, key, table, db.busType))
            diagLog(kDiagError, "Failed to add TP config");
    }
    chain.tpUsed = true;
}

void configure(TpChain& chain, const RunConfig& config) {
    config.canDbs.forEachChannel([&](uint8_t channel, const DbChannelTable::List& dbs) {
        for (const auto& db : dbs) {
            if (db->busType == BusType::J1939) {
                if (!tpManagerConfigure(*chain.manager, BusType::J1939, channel, kJ1939TpCmKey,
                                        TransportProtocolType::J1939Tp))
                    diagLog(kDiagError, "Failed to add TP config");
                chain.tpUsed = true;
            }
            dbForEachMessage(*db, [&](DbMsgKey key, const DbMessage& message) {
                if (message.transportProtocol != TransportProtocolType::None)
                    configureMessage(chain, *db, channel, key, message);
            });
        }
    });
}

} // namespace

std::unique_ptr<TpChain> tpChainCreate(const RunConfig& config, MessageSink& writer) {
    auto chain = std::make_unique<TpChain>();
    chain->mux = muxCreate(writer, nullptr);
    if (!chain->mux)
        return nullptr;
    chain->manager = tpManagerCreate(*chain->mux);
    if (!chain->manager)
        return nullptr;
    if (!muxAttach(chain->mux.get(), chain->manager.get()))
        return nullptr;
    configure(*chain, config);
    chain->walkerSink = chain->tpUsed ? static_cast<MessageSink*>(chain->manager.get()) : &writer;
    return chain;
}

} // namespace loglathe
