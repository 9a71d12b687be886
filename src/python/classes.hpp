// The Archive, Flow and Packet classes: immutable views of an opened archive.
#pragma once

#include "python/args.hpp"

#include <memory>
#include <optional>
#include <string>

#include "archive/reader.hpp"
#include "util/file_io.hpp"

namespace flowsieve::python {

struct ArchiveTypes {
    PyObject* archive;
    PyObject* flow;
    PyObject* packet;
};

// The new slot of a class that only the module makes.
template <const char* Name>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return raise({PyExc_TypeError, std::string("No constructor defined for ") + Name});
}

// Creates the three heap types once; nullptr members with an exception
// pending on failure. The types live for the life of the process.
ArchiveTypes create_archive_types();

// A file that an Archive deletes when it is deallocated (read_flows'
// archive), if the path still names that file then.
struct TemporaryArchive {
    std::string path;
    FileId id;
};

// A new Archive that holds the reader.
PyObject* new_archive(std::shared_ptr<const archive::ArchiveReader> reader,
                      std::optional<TemporaryArchive> temporary = std::nullopt);

// The reader of an Archive, or nothing for any other object.
std::shared_ptr<const archive::ArchiveReader> archive_reader(PyObject* o);
// The record of a Flow of the reader's archive, or nullptr for any other object.
const archive::FlowRecord* flow_record(PyObject* o, const archive::ArchiveReader& reader);

}  // namespace flowsieve::python
