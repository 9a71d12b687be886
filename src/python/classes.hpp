// The Archive, Flow and Packet classes: immutable views of an opened archive.
#pragma once

#include "python/args.hpp"

#include <memory>
#include <string>

#include "archive/reader.hpp"

namespace flowsieve::python {

struct ArchiveTypes {
    PyObject* archive;
    PyObject* flow;
    PyObject* packet;
};

// Creates the three heap types once; nullptr members with an exception
// pending on failure. The types live for the life of the process.
ArchiveTypes create_archive_types();

// A new Archive that holds the reader. With a temporary path, deallocating
// it deletes that file (read_flows' archive).
PyObject* new_archive(std::shared_ptr<const archive::ArchiveReader> reader, std::string temp_path = {});

}  // namespace flowsieve::python
