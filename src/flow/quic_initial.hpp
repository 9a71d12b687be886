// The client's QUIC Initial packets of a flow (version 1, RFC 9001, and
// version 2, RFC 9369): their protection removed with keys derived from
// the first one's destination connection ID, and the data of their CRYPTO
// frames put back in order, until the ClientHello they carry is whole.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "util/byte_view.hpp"

namespace flowsieve {

// Whether the datagram starts with an Initial packet of a version read here.
bool is_quic_initial(ByteView datagram);

class QuicInitials {
public:
    // One datagram of the client's.
    void add(ByteView datagram);
    bool started() const { return started_; }
    // A packet did not decrypt, libcrypto is missing, or the CRYPTO data
    // is not a ClientHello: no name will come.
    bool failed() const { return failed_; }
    // The ClientHello's body once it is whole.
    std::optional<ByteView> client_hello() const;

private:
    struct Keys {
        std::array<uint8_t, 16> key, hp;
        std::array<uint8_t, 12> iv;
    };
    bool open_packet(ByteView datagram, size_t start, size_t& next);
    bool add_frames(ByteView payload);

    bool started_ = false;
    bool failed_ = false;
    uint32_t version_ = 0;
    std::optional<Keys> keys_;
    std::vector<uint8_t> crypto_;  // the CRYPTO stream's first bytes
    std::vector<bool> have_;       // which of them arrived
};

}  // namespace flowsieve
