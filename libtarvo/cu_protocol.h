/*
 * The wire vocabulary of wireless pairing, shared by the host library and
 * the simulated device: lockdown request names, the TLV8 item types of the
 * pairing messages, the labels that keys are derived with, and the device's
 * error strings. docs/wireless-pairing.md walks through the message flow.
 */
#ifndef LIBTARVO_CU_PROTOCOL_H
#define LIBTARVO_CU_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace libtarvo {

// The encrypted channel's sizes.
inline constexpr std::size_t kCuChannelKeySize = 32;
inline constexpr std::size_t kCuCounterSize = 8;
inline constexpr std::size_t kCuTagSize = 16;
/// Plaintexts above this are neither sealed nor opened.
inline constexpr std::size_t kCuMaxPlaintext = 1024 * 1024;

}  // namespace libtarvo

namespace libtarvo::cu {

// Lockdown requests on the plain connection, one per round trip. The
// request and its reply carry the TLV8 message as data under kPairingDataKey.
inline constexpr const char *kRequestStart = "CUPairingStart";        // M1 -> M2
inline constexpr const char *kRequestVerify = "CUPairingVerify";      // M3 -> M4
inline constexpr const char *kRequestExchange = "CUPairingExchange";  // M5 -> M6
inline constexpr const char *kRequestFinish = "CUPairingFinish";      // M7 -> M8
inline constexpr const char *kPairingDataKey = "PairingData";
/// A refusal carries, beside "Error", a sentence for the user.
inline constexpr const char *kErrorDescriptionKey = "ErrorDescription";

enum TlvType : uint8_t {
    kTlvMethod = 0x00,          // M1: 1 byte, kMethodPin
    kTlvSalt = 0x02,            // M2: the SRP salt
    kTlvPublicKey = 0x03,       // M2: PAD(B); M3: PAD(A)
    kTlvProof = 0x04,           // M3: M1 of SRP; M4: M2 of SRP
    kTlvEncryptedData = 0x05,   // M5 to M8: a channel message
    kTlvState = 0x06,           // every message: 1 byte, its number (1 to 8)
    kTlvInfo = 0x0A,            // inside M5 / M6: binary plist dictionary
    kTlvDeviceIdentity = 0x0B,  // inside M6: binary plist dictionary
    kTlvPairRecord = 0x0C,      // inside M7: binary plist dictionary
    kTlvEscrowBag = 0x0D,       // inside M8: the escrow bag's bytes
};

inline constexpr uint8_t kMethodPin = 0;
inline constexpr std::size_t kSaltSize = 16;
/// Longest TLV8 item either side accepts: a whole channel message.
inline constexpr std::size_t kMaxTlvItem = kCuMaxPlaintext + kCuCounterSize + kCuTagSize;

/// The SRP user name; the PIN is the password.
inline constexpr std::string_view kSrpIdentity = "tarvo-wireless-pairing";
/// HKDF-SHA-512 salt and info strings of the two channel keys.
inline constexpr std::string_view kChannelSalt = "WirelessPairing-Channel-Salt";
inline constexpr std::string_view kHostToDeviceInfo = "WirelessPairing-HostToDevice-Key";
inline constexpr std::string_view kDeviceToHostInfo = "WirelessPairing-DeviceToHost-Key";

// Items of the device identity dictionary (M6): what the host needs to make
// the pair record's certificates, received over the authenticated channel.
inline constexpr const char *kIdentityPublicKey = "DevicePublicKey";  // data, PEM
inline constexpr const char *kIdentityProductVersion = "ProductVersion";
inline constexpr const char *kIdentityWiFiAddress = "WiFiAddress";

// Device error strings beside lockdown's own ("MalformedCommand",
// "PairingProhibitedOverThisConnection", "InvalidPairRecord", "MissingHostID").
inline constexpr const char *kErrorPairingModeInactive = "PairingModeInactive";
inline constexpr const char *kErrorWrongPin = "WrongPairingPIN";
inline constexpr const char *kErrorOutOfSequence = "PairingOutOfSequence";
inline constexpr const char *kErrorMessageRejected = "PairingMessageRejected";
inline constexpr const char *kErrorUnsupportedMethod = "UnsupportedPairingMethod";

}  // namespace libtarvo::cu

#endif
