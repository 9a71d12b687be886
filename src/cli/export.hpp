// File names of flows exported from an archive.
#pragma once

#include <string>
#include <vector>

#include "archive/reader.hpp"

namespace flowsieve::cli {

// The name of each flow of the archive, by position in its flow table, in
// the form of the split's files: stem + "_" + key + ".pcap" (".pcapng" for
// an archive of several link types), where the key
// is the session key of the flow's addresses, ports and protocol
// (proto_addr_addr_port_port, endpoints in session order), made safe as in
// the split; "no_ip_" + id for a flow without an IP layer. Flows that
// would share a name each get "_" + id appended. `extension`, when given,
// replaces the archive's (files of one link type of several are pcap).
std::vector<std::string> flow_file_names(const archive::ArchiveReader& reader, const std::string& stem,
                                         const char* extension = nullptr);

}  // namespace flowsieve::cli
