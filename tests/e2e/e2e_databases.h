#pragma once
// The DBC files the end-to-end tests convert with. The comments give the raw-to-physical rules that
// the expected CSV values are worked out from.

#include <cstdio>
#include <string>

namespace loglathe::test {

// A CAN database:
//   0x100 EngineData: EngineSpeed = 16 bits LE from byte 0 x 0.25 [0..16383.75],
//                     CoolantTemp = byte 2 - 40 [-40..215], ThrottlePos = byte 3 x 0.4 [0..100]
//   0x300 SensorMux:  SensorIndex = byte 0 (multiplexor); group 0 Temperature = signed 16 bits LE from
//                     byte 1 x 0.01, group 1 Humidity = 16 bits LE from byte 1 x 0.01;
//                     SensorStatus (byte 7) is ignored
//   0x400 IgnoredMsg: ignored as a whole
//   0x0CF00400 (extended) EngineExt: FirstByte = byte 0
//   0x7E8 DiagResponse, 20 bytes over ISO-TP: ServiceId = byte 0, DataId = 16 bits LE from byte 1,
//                     OdometerKm = 32 bits LE from byte 3 x 0.1, LastByte = byte 19
//   0x600 GatewayContainer, a MUX container whose four indices all lead to channel 2
inline const char* const kCanDbc = R"(VERSION ""

NS_ :

BS_:

BU_: ECU GW TESTER

BO_ 256 EngineData: 8 ECU
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" GW
 SG_ CoolantTemp : 16|8@1+ (1,-40) [-40|215] "degC" GW
 SG_ ThrottlePos : 24|8@1+ (0.4,0) [0|100] "%" GW

BO_ 768 SensorMux: 8 ECU
 SG_ SensorIndex M : 0|8@1+ (1,0) [0|3] "" GW
 SG_ Temperature m0 : 8|16@1- (0.01,0) [-100|200] "degC" GW
 SG_ Humidity m1 : 8|16@1+ (0.01,0) [0|100] "%" GW
 SG_ SensorStatus : 56|8@1+ (1,0) [0|0] "" GW

BO_ 1024 IgnoredMsg: 8 ECU
 SG_ Anything : 0|8@1+ (1,0) [0|255] "" GW

BO_ 2364539904 EngineExt: 8 ECU
 SG_ FirstByte : 0|8@1+ (1,0) [0|255] "" GW

BO_ 2024 DiagResponse: 20 ECU
 SG_ ServiceId : 0|8@1+ (1,0) [0|255] "" TESTER
 SG_ DataId : 8|16@1+ (1,0) [0|65535] "" TESTER
 SG_ OdometerKm : 24|32@1+ (0.1,0) [0|429496729.5] "km" TESTER
 SG_ LastByte : 152|8@1+ (1,0) [0|255] "" TESTER

BO_ 1536 GatewayContainer: 64 GW
 SG_ ContainerBytes : 0|8@1+ (1,0) [0|255] "" TESTER

BA_DEF_  "BusType" STRING ;
BA_DEF_ BO_ "TransportProtocolType" STRING ;
BA_DEF_ SG_ "SignalIgnore" INT 0 1;
BA_DEF_ BO_ "MessageIgnore" INT 0 1;
BA_DEF_DEF_ "BusType" "CAN";
BA_DEF_DEF_ "TransportProtocolType" "";
BA_DEF_DEF_ "SignalIgnore" 0;
BA_DEF_DEF_ "MessageIgnore" 0;
BA_ "BusType" "CAN";
BA_ "TransportProtocolType" BO_ 2024 "ISOTP";
BA_ "TransportProtocolType" BO_ 1536 "MUXTP#2:2:2:2";
BA_ "SignalIgnore" SG_ 768 SensorStatus 1;
BA_ "MessageIgnore" BO_ 1024 1;
)";

// The payload of an EngineData frame with the given speed (a multiple of 0.25 rpm below 16384), a
// coolant temperature of 50 degC and a closed throttle: its row reads "<rpm>,50.000000,0.000000".
inline std::string engineData(double rpm) {
    int raw = static_cast<int>(rpm * 4);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%02X%02X5A0000000000", raw & 0xFF, (raw >> 8) & 0xFF);
    return hex;
}

// A J1939 database (keys drop priority and source, and the destination of PDU1 groups):
//   EEC1 (PGN 0xF004): ActualTorque = byte 2 - 125 [-125..125], EngineSpeed = 16 bits LE from byte 3
//                      x 0.125 [0..8031.875]
//   Request (PGN 0xEA00, PDU1): RequestedPgn = 24 bits LE from byte 0
//   DM1 (PGN 0xFECA), 14 bytes: Lamps = byte 0, Spn1 = 16 bits LE from byte 2, LastByte = byte 13
//   ComponentId (PGN 0xFEEB), 20 bytes: ModelYear = 16 bits LE from byte 0 [1980..2100],
//                      SerialNumber = 32 bits LE from byte 2, LastByte = byte 19
//   GnssPosition (PGN 0x1F805), 18 bytes as NMEA 2000 fast packets: SequenceId = byte 0,
//                      Latitude = signed 32 bits LE from byte 1 x 1e-7 [-90..90], LastByte = byte 17
inline const char* const kJ1939Dbc = R"(VERSION ""

NS_ :

BS_:

BU_: Engine Cab Nav

BO_ 2364540158 EEC1: 8 Engine
 SG_ ActualTorque : 16|8@1+ (1,-125) [-125|125] "%" Cab
 SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] "rpm" Cab

BO_ 2565537790 Request: 3 Cab
 SG_ RequestedPgn : 0|24@1+ (1,0) [0|16777215] "" Engine

BO_ 2566834942 DM1: 14 Engine
 SG_ Lamps : 0|8@1+ (1,0) [0|255] "" Cab
 SG_ Spn1 : 16|16@1+ (1,0) [0|65535] "" Cab
 SG_ LastByte : 104|8@1+ (1,0) [0|255] "" Cab

BO_ 2566843390 ComponentId: 20 Engine
 SG_ ModelYear : 0|16@1+ (1,0) [1980|2100] "" Cab
 SG_ SerialNumber : 16|32@1+ (1,0) [0|4294967295] "" Cab
 SG_ LastByte : 152|8@1+ (1,0) [0|255] "" Cab

BO_ 2381841666 GnssPosition: 18 Nav
 SG_ SequenceId : 0|8@1+ (1,0) [0|255] "" Cab
 SG_ Latitude : 8|32@1- (1E-007,0) [-90|90] "deg" Cab
 SG_ LastByte : 136|8@1+ (1,0) [0|255] "" Cab

BA_DEF_  "BusType" STRING ;
BA_DEF_  "ProtocolType" STRING ;
BA_DEF_ BO_ "TransportProtocolType" STRING ;
BA_DEF_DEF_ "BusType" "CAN";
BA_DEF_DEF_ "ProtocolType" "";
BA_DEF_DEF_ "TransportProtocolType" "";
BA_ "BusType" "CAN";
BA_ "ProtocolType" "J1939";
BA_ "TransportProtocolType" BO_ 2381841666 "NMEATP";
)";

} // namespace loglathe::test
