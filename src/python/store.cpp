// The Store class: archives and folders of archives asked as one, with the
// command's store underneath (archive/store.hpp).
#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>
#include <unordered_map>

#include "archive/store.hpp"
#include "python/classes.hpp"
#include "python/query.hpp"
#include "util/file_io.hpp"

namespace flowsieve::python {
namespace {

struct StoreState {
    std::vector<archive::StoreArchive> archives;  // less those skipped
    std::vector<std::pair<std::string, std::string>> skipped;  // path, reason
    bool closed = false;
};
struct StoreObject {
    PyObject_HEAD
    StoreState state;
};

StoreState& store_of(PyObject* o) { return reinterpret_cast<StoreObject*>(o)->state; }

StoreState* open_store(PyObject* self) {
    StoreState& s = store_of(self);
    if (!s.closed) return &s;
    raise({PyExc_ValueError, "the store is closed"});
    return nullptr;
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs && PyDict_Size(kwargs) != 0) return raise({PyExc_TypeError, "Store() takes no keyword arguments"});
        const Py_ssize_t n = PyTuple_Size(args);
        if (n == 0) return raise({PyExc_TypeError, "Store() needs at least one archive or folder"});
        std::vector<std::string> paths;
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto path = path_argument(PyTuple_GetItem(args, i), "paths");
            if (!path) return nullptr;
            paths.push_back(std::move(*path));
        }
        auto archives = archive::store_archives(paths);
        if (!archives) return raise(archives.error());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* o = alloc(type, 0);
        if (!o) return nullptr;
        new (&store_of(o)) StoreState{std::move(archives).value(), {}, false};
        return o;
    });
}

void store_dealloc(PyObject* self) {
    store_of(self).~StoreState();
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* store_repr(PyObject* self) {
    const StoreState& s = store_of(self);
    const std::string text = s.closed ? "Store(closed)"
                                      : "Store(archives=" + std::to_string(s.archives.size()) +
                                            ", skipped=" + std::to_string(s.skipped.size()) + ")";
    return PyUnicode_FromString(text.c_str());
}

// Warns of the archives skipped since `from`; an archive passed over once
// is not asked again, nor warned about. False with the exception pending
// when warnings are errors.
bool warn_skipped(StoreState& s, size_t from) {
    for (size_t i = from; i < s.skipped.size(); ++i) {
        std::erase_if(s.archives,
                      [&](const archive::StoreArchive& a) { return a.in_folder && a.path == s.skipped[i].first; });
        const std::string warning = "skipped " + s.skipped[i].first + ": " + s.skipped[i].second;
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0) return false;
    }
    return true;
}

// Drops the archives whose flows' packets cannot be found, as the command's
// export does: skipped when the store found them in a folder; an error
// otherwise.
bool drop_damaged(StoreState& s, archive::Answers& answers) {
    const size_t skipped_before = s.skipped.size();
    for (size_t i = 0; i < answers.archives.size();) {
        const archive::Answer& a = answers.archives[i];
        auto found = archive::find_packets(*a.reader, a.flows(), a.path);
        if (found) {
            ++i;
            continue;
        }
        const bool in_folder = std::any_of(s.archives.begin(), s.archives.end(), [&](const archive::StoreArchive& m) {
            return m.in_folder && m.path == a.path;
        });
        if (!in_folder) return raise(found.error()), false;
        s.skipped.emplace_back(a.path, found.error().message);
        answers.archives.erase(answers.archives.begin() + Py_ssize_t(i));
    }
    return warn_skipped(s, skipped_before);
}

constexpr auto kFind = query_signature("Store.find");
constexpr auto kExport = signature("Store.export", 1, ObjectArg{"flows"}, ObjectArg{"path"});

PyObject* store_find(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFind, args, kwargs,
                [&](PyObject* ip, PyObject* port, PyObject* between, PyObject* between_port, PyObject* proto,
                    PyObject* since, PyObject* until, PyObject* flow, PyObject* community_id,
                    PyObject* vni, PyObject* name, PyObject* app, PyObject* state) -> PyObject* {
                    StoreState* s = open_store(self);
                    if (!s) return nullptr;
                    auto query = query_of(ip, port, between, between_port, proto, since, until, flow, community_id, vni,
                                          name, app, state);
                    if (!query) return nullptr;
                    const size_t skipped_before = s->skipped.size();
                    auto answers = archive::ask_archives(
                        s->archives,
                        [&](const archive::ArchiveReader& r, const std::string&) -> Result<archive::FlowList, CallError> {
                            return archive::select_flows(r, *query);
                        },
                        [&](const std::string& path, const std::string& why) { s->skipped.emplace_back(path, why); },
                        archive::open_named, &*query);
                    if (!warn_skipped(*s, skipped_before)) return nullptr;
                    if (!answers) return raise(answers.error());
                    size_t total = 0;
                    for (const archive::Answer& a : answers->archives) total += a.records.size();
                    Ref list(PyList_New(Py_ssize_t(total)));
                    if (!list) return nullptr;
                    Py_ssize_t at = 0;
                    for (const archive::Answer& a : answers->archives) {
                        const ArchivePath path = std::make_shared<const std::string>(a.path);
                        for (const archive::FlowRecord& r : a.records) {
                            PyObject* flow = new_flow(a.reader, path, r);
                            if (!flow) return nullptr;
                            PyList_SetItem(list.get(), at++, flow);
                        }
                    }
                    return list.release();
                });
}

// The flows of `list` grouped by archive in the order each archive first
// comes, each flow once.
std::optional<archive::Answers> group_flows(PyObject* list) {
    archive::Answers answers;
    std::unordered_map<const archive::ArchiveReader*, size_t> index;
    std::set<std::tuple<const archive::ArchiveReader*, uint64_t, uint64_t>> seen;
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        PyObject* item = PyList_GetItem(list, i);
        auto flow = flow_view(item);
        if (!flow) {
            raise({PyExc_TypeError, "argument 'flows': expected Flow objects, not " + type_name(item)});
            return std::nullopt;
        }
        const archive::ArchiveReader* reader = flow->reader->get();
        if (!seen.emplace(reader, flow->record->id, flow->record->offsets_pos).second) continue;
        auto [at, added] = index.try_emplace(reader, answers.archives.size());
        if (added) answers.archives.push_back({**flow->path, *flow->reader, {}});
        answers.archives[at->second].records.push_back(*flow->record);
    }
    if (!answers.archives.empty()) answers.first_format = answers.archives[0].reader->frame_format();
    return answers;
}

// The merged capture as bytes: the places of its pieces first (those
// outside the archives' mappings copied aside), then one copy of each.
PyObject* merged_bytes(archive::PacketMerge& merge, ProgressObserver& signals) {
    struct Piece {
        const uint8_t* mapped;  // or nullptr: at `at` in `copied`
        size_t at;
        size_t size;
    };
    std::vector<Piece> pieces;
    std::vector<uint8_t> copied;
    size_t total = 0;
    auto status = archive::stream_merge(merge, &signals, [&](const uint8_t* data, size_t size, bool mapped) {
        pieces.push_back({mapped ? data : nullptr, copied.size(), size});
        if (!mapped) copied.insert(copied.end(), data, data + size);
        total += size;
        return Status<CallError>();
    });
    if (!status) return raise(status.error());
    Ref bytes(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    if (!bytes) return nullptr;
    char* out = PyBytes_AsString(bytes.get());
    for (const Piece& p : pieces) {
        if (p.size) std::memcpy(out, p.mapped ? p.mapped : copied.data() + p.at, p.size);
        out += p.size;
    }
    return bytes.release();
}

PyObject* store_export(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kExport, args, kwargs, [&](PyObject* flows, PyObject* path_arg) -> PyObject* {
        StoreState* s = open_store(self);
        if (!s) return nullptr;
        std::optional<std::string> path;
        if (path_arg && path_arg != Py_None && !(path = path_argument(path_arg, "path"))) return nullptr;
        if (PyUnicode_Check(flows)) return raise({PyExc_TypeError, "argument 'flows': expected Flow objects, not str"});
        Ref list(PySequence_List(flows));
        if (!list) return nullptr;
        auto answers = group_flows(list.get());
        if (!answers || !drop_damaged(*s, *answers)) return nullptr;
        if (path) {
            std::vector<std::string> inputs;
            for (const archive::StoreArchive& a : s->archives) inputs.push_back(a.path);
            for (const archive::Answer& a : answers->archives) inputs.push_back(a.path);
            if (auto refused = output_among_inputs(*path, inputs)) return raise({PyExc_ValueError, *refused});
        }
        auto merge = archive::merge_answers(*answers);
        if (!merge) return raise(merge.error());
        SignalCheck signals;
        if (!path) return merged_bytes(*merge, signals);
        auto written = write_to_path(*path, [&](int fd) -> Status<> {
            auto st = archive::write_merge(fd, *merge, &signals);
            if (!st) return Error{st.error().message, st.error().os_errno};
            return {};
        });
        if (PyErr_Occurred()) return nullptr;  // the signal handler's exception
        if (!written) return raise(CallError::io(written.error(), *path));
        Py_RETURN_NONE;
    });
}

PyObject* store_close(PyObject* self, PyObject*) {
    store_of(self).closed = true;
    Py_RETURN_NONE;
}

PyObject* store_archives(PyObject* self, void*) {
    const StoreState& s = store_of(self);
    Ref list(PyList_New(Py_ssize_t(s.archives.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < s.archives.size(); ++i) {
        PyObject* path = path_object(s.archives[i].path);
        if (!path) return nullptr;
        PyList_SetItem(list.get(), Py_ssize_t(i), path);
    }
    return list.release();
}

PyObject* store_skipped(PyObject* self, void*) {
    const StoreState& s = store_of(self);
    Ref list(PyList_New(Py_ssize_t(s.skipped.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < s.skipped.size(); ++i) {
        Ref path(path_object(s.skipped[i].first));
        Ref why(PyUnicode_DecodeUTF8(s.skipped[i].second.data(), Py_ssize_t(s.skipped[i].second.size()), "replace"));
        PyObject* pair = path && why ? PyTuple_Pack(2, path.get(), why.get()) : nullptr;
        if (!pair) return nullptr;
        PyList_SetItem(list.get(), Py_ssize_t(i), pair);
    }
    return list.release();
}

PyGetSetDef kStoreGetters[] = {
    {"archives", store_archives, nullptr,
     "The store's archives in the order they are asked: each named, and each folder's *.fsieve files by name, "
     "less those skipped.",
     nullptr},
    {"skipped", store_skipped, nullptr, "(path, reason) of each archive of a folder passed over as unreadable.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStoreMethods[] = {
    {"find", keywords(store_find), METH_VARARGS | METH_KEYWORDS,
     "find($self, *, ip=None, port=None, between=None, between_port=None, proto=None, since=None, until=None, "
     "flow=None, community_id=None, vni=None, name=None, app=None, state=None)\n--\n\n"
     "The flows of every archive that meet every condition given, as Archive.find takes them: archive by\n"
     "archive, by ascending id. An archive of a folder that cannot be read is skipped with a RuntimeWarning."},
    {"export", keywords(store_export), METH_VARARGS | METH_KEYWORDS,
     "export($self, flows, path=None)\n--\n\n"
     "The packets of the flows as one capture file in timestamp order (equal times in archive, flow and\n"
     "packet order), written to path under a temporary name, or returned as bytes without one: pcapng when\n"
     "the frames are of several link types."},
    {"close", store_close, METH_NOARGS, "close($self)\n--\n\nClose the store; its flows stay usable."},
    {"__enter__", enter_self, METH_NOARGS, nullptr},
    {"__exit__", exit_closes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStoreSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_getset, kStoreGetters},
    {Py_tp_methods, kStoreMethods},
    {Py_tp_doc, const_cast<char*>("Store(*paths)\n--\n\n"
                                  "Archives and folders of archives asked as one: a folder stands for every *.fsieve "
                                  "file in it.")},
    {0, nullptr},
};

PyType_Spec kStoreSpec = {"flowsieve.Store", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT, kStoreSlots};

}  // namespace

PyObject* create_store_type() { return PyType_FromSpec(&kStoreSpec); }

}  // namespace flowsieve::python
