// The Archive, Flow and Packet classes: immutable views of an opened
// archive; and the Store of several archives (python/store.cpp).
#pragma once

#include "python/args.hpp"

#include <memory>
#include <optional>
#include <string>

#include "archive/mod.hpp"
#include "util/file_io.hpp"

namespace flowsieve::python {

struct ArchiveTypes {
    PyObject* archive;
    PyObject* flow;
    PyObject* packet;
    PyObject* store;
};

// The new slot of a class that only the module makes.
template <const char* Name>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return raise({PyExc_TypeError, std::string("No constructor defined for ") + Name});
}

// Creates the four heap types once; nullptr members with an exception
// pending on failure. The types live for the life of the process.
ArchiveTypes create_archive_types();

// A file that an Archive deletes when it is closed or deallocated
// (read_flows' archive), if the path still names that file then.
struct TemporaryArchive {
    std::string path;
    FileId id;
};

using Reader = std::shared_ptr<const archive::ArchiveReader>;
// The path an archive was opened by, shared by its flows.
using ArchivePath = std::shared_ptr<const std::string>;

// Store's heap type; nullptr with an exception pending on failure.
PyObject* create_store_type();

// A new Archive that holds the reader.
PyObject* new_archive(Reader reader, const std::string& path,
                      std::optional<TemporaryArchive> temporary = std::nullopt);

// A new Flow of a record of the reader.
PyObject* new_flow(const Reader& reader, const ArchivePath& path, const archive::FlowRecord& record);

// A list of new Flows over records of the reader.
PyObject* flow_list(const Reader& reader, const ArchivePath& path, const archive::FlowList& records);

// What a Flow holds; nullptr for an object that is no Flow.
struct FlowView {
    const Reader* reader;
    const ArchivePath* path;
    const archive::FlowRecord* record;
};
std::optional<FlowView> flow_view(PyObject* obj);

// __enter__ of the context managers: the object itself.
PyObject* enter_self(PyObject* self, PyObject*);
// __exit__ of the context managers: calls close and lets an exception through.
PyObject* exit_closes(PyObject* self, PyObject* args);
bool is_archive(PyObject* o);
// The reader of an Archive that is open; nullptr with a ValueError pending
// once it is closed.
const Reader* open_reader(PyObject* archive);
// The record of a Flow of the reader's archive, or nullptr for any other object.
const archive::FlowRecord* flow_record(PyObject* o, const archive::ArchiveReader& reader);

}  // namespace flowsieve::python
