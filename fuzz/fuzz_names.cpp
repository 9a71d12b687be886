// Payload bytes through every reader of server names and applications: the
// TLS, HTTP and DNS judges (DNS with and without its TCP length prefix),
// a ClientHello's body, and QUIC Initial packets. Whatever the bytes, a
// name is printable UTF-8, at most a 255-byte name with every byte escaped,
// and a whole ClientHello lies inside the CRYPTO bytes gathered.
#include <cstdint>
#include <string>

#include "common.hpp"
#include "flow/naming.hpp"
#include "flow/quic_initial.hpp"
#include "util/utf8.hpp"

using namespace flowsieve;
using fuzzing::check;

namespace {

void check_name(const std::string& name) {
    check(name.size() <= 4 * 255 && valid_utf8(name));
    for (size_t at = 0; at < name.size();) {
        const auto c = utf8_at(name, at);
        check(c && !is_control(c->value));
        at += c->size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView bytes(data, size);
    for (const Verdict& v : {judge_tls(bytes), judge_http(bytes), judge_dns(bytes, false), judge_dns(bytes, true)}) {
        check_name(v.name);
        check(v.name.empty() || v.kind == Verdict::Found);
    }
    check_name(client_hello_name(bytes));
    QuicInitials quic;
    quic.add(bytes);
    quic.add(bytes);
    if (const auto hello = quic.client_hello()) check_name(client_hello_name(*hello));
    return 0;
}
