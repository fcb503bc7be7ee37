/*
 * The device's side of wireless pairing on one lockdown connection: it shows
 * its PIN, checks the host's SRP proof, answers with its own, and then, over
 * the encrypted channel, takes the host's info, hands out its own info and
 * public key, and trusts the pair record the host sends. Only a network
 * device in pairing mode (a fixture with a PairingPIN) takes part. Any
 * failure forgets the attempt: the host starts again from the first step.
 */
#ifndef TARVO_SIM_CU_PAIRING_SERVER_H
#define TARVO_SIM_CU_PAIRING_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device_state.h"
#include "fixture.h"
#include "libtarvo/cu_channel.h"
#include "libtarvo/srp6a.h"
#include "libtarvo/tlv8.h"
#include "message_log.h"

namespace tarvosim {

/// One step's answer: the TLV8 message, or a refusal.
struct CuAnswer {
    std::vector<uint8_t> pairing_data;
    std::string error;        // the device's error string; empty on success
    std::string description;  // a sentence for the user
};

class CuPairingServer {
  public:
    /// Checks the pair record a host sent and fills in the host it names;
    /// returns the device's error string, or "" when the record is good.
    using RecordCheck = std::function<std::string_view(plist_t record, TrustedHost *host)>;

    CuPairingServer(const Fixture &fixture, DeviceState &state, const MessageLog &log);

    /// M1 -> M2. Starts afresh whatever came before.
    CuAnswer start(plist_t request);
    /// M3 -> M4: the host's PIN proof.
    CuAnswer verify(plist_t request);
    /// M5 -> M6: host info in, device info and identity out.
    CuAnswer exchange_info(plist_t request);
    /// M7 -> M8: the pair record in; trusts the host and hands out its escrow bag.
    CuAnswer finish(plist_t request, const RecordCheck &check);

  private:
    enum class Stage { kIdle, kAwaitingProof, kAwaitingInfo, kAwaitingRecord };

    CuAnswer refuse(std::string error, std::string description);
    /// The request's TLV8 items, if it carries message number `state`.
    bool read_message(plist_t request, uint8_t state, std::vector<libtarvo::Tlv8Item> *items,
                      CuAnswer *refusal);
    /// Opens the request's encrypted item and decodes what it carries.
    bool read_sealed(plist_t request, uint8_t state, std::vector<libtarvo::Tlv8Item> *items,
                     CuAnswer *refusal);
    /// The answer {State, EncryptedData(plaintext)}.
    CuAnswer sealed_answer(uint8_t state, const libtarvo::Tlv8Writer &plaintext);
    PlistPtr device_info() const;
    PlistPtr device_identity() const;
    void reset();

    const Fixture &fixture_;
    DeviceState &state_;
    const MessageLog &log_;
    Stage stage_ = Stage::kIdle;
    std::unique_ptr<libtarvo::SrpServer> srp_;
    std::unique_ptr<libtarvo::CuChannel> channel_;
    std::string host_info_xml_;
};

}  // namespace tarvosim

#endif
