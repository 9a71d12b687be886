#include "python/query.hpp"

#include <cctype>

#include "flow/naming.hpp"

#include "archive/conditions.hpp"

namespace flowsieve::python {
namespace {

bool type_error(const char* argument, const char* expected, PyObject* given) {
    raise({PyExc_TypeError, std::string("argument '") + argument + "': expected " + expected + ", not " +
                                type_name(given)});
    return false;
}

bool value_error(const char* argument, const std::string& text, const std::string& why) {
    raise({PyExc_ValueError, std::string("argument '") + argument + "': invalid value '" + text + "': " + why});
    return false;
}

// The text read by the core's `parse`, into `out`.
template <class T, class Parse>
bool parsed(const char* argument, const std::string& text, Parse parse, T& out) {
    auto value = parse(text);
    if (!value) return value_error(argument, text, value.error().message);
    out = std::move(value).value();
    return true;
}

template <class T, class Parse>
bool parsed(const char* argument, PyObject* obj, Parse parse, T& out) {
    auto text = utf8_text(obj);
    return text && parsed(argument, *text, parse, out);
}

// Whole numbers: int and whatever converts through __index__ (numpy's integers, say).
// VXLAN and GENEVE give 24 bits to a VNI.
constexpr uint64_t kMaxVni = 0xFFFFFF;

bool is_integer(PyObject* obj) { return PyLong_Check(obj) || (!PyFloat_Check(obj) && PyIndex_Check(obj)); }

// A whole number within [0, max].
template <class T>
bool integer(const char* argument, PyObject* obj, uint64_t max, const char* what, T& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow || value < 0 || uint64_t(value) > max) {
        Ref text(PyObject_Repr(index.get()));
        auto shown = text ? utf8_text(text.get()) : std::nullopt;
        if (!shown) return false;
        return value_error(argument, *shown, std::string("not ") + what + " (0 to " + std::to_string(max) + ")");
    }
    out = T(value);
    return true;
}

// One value, or each item of a list or tuple, through `one`. An empty list
// is a condition no flow meets (`nothing`), not one left out: a caller's
// list of suspects that came out empty must not choose every flow.
template <class T, class One>
bool one_or_list(PyObject* obj, std::vector<T>& out, bool& nothing, One one) {
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) return one(obj, out.emplace_back());
    const Py_ssize_t n = PySequence_Size(obj);
    if (n == 0) nothing = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item || !one(item.get(), out.emplace_back())) return false;
    }
    return n >= 0;
}

bool address(const char* argument, PyObject* obj, archive::StoredAddress& out) {
    if (!PyUnicode_Check(obj)) return type_error(argument, "an address (str)", obj);
    return parsed(argument, obj, archive::parse_address, out);
}

bool port(const char* argument, PyObject* obj, uint16_t& out) {
    if (!is_integer(obj)) return type_error(argument, "a port number (int)", obj);
    return integer(argument, obj, 65535, "a port number", out);
}

bool name_pattern(const char* argument, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_error(argument, "a name pattern (str)", obj);
    auto text = utf8_text(obj);
    if (!text) return false;
    out = std::move(*text);
    return true;
}

bool application(PyObject* obj, std::string& out) {
    if (!name_pattern("app", obj, out)) return false;
    for (char& c : out) c = char(std::tolower(uint8_t(c)));
    if (app_of_name(out)) return true;
    PyErr_Format(PyExc_ValueError, "app must be one of tls, quic, http, dns, ssh, bittorrent, not %R", obj);
    return false;
}

bool protocol(const char* argument, PyObject* obj, uint8_t& out) {
    if (is_integer(obj)) return integer(argument, obj, 255, "a protocol number", out);
    if (!PyUnicode_Check(obj)) return type_error(argument, "a protocol name (str) or number (int)", obj);
    return parsed(argument, obj, archive::parse_protocol, out);
}

// The datetime module's date class and UTC, fetched once.
struct Dates {
    PyObject* date = nullptr;
    PyObject* datetime = nullptr;
    PyObject* utc = nullptr;
};

const Dates* dates() {
    static Dates d;
    if (d.utc) return &d;
    Ref module(PyImport_ImportModule("datetime"));
    Ref timezone(module ? PyObject_GetAttrString(module.get(), "timezone") : nullptr);
    if (!timezone) return nullptr;
    d.date = PyObject_GetAttrString(module.get(), "date");
    d.datetime = d.date ? PyObject_GetAttrString(module.get(), "datetime") : nullptr;
    d.utc = d.datetime ? PyObject_GetAttrString(timezone.get(), "utc") : nullptr;  // all kept for the process
    return d.utc ? &d : nullptr;
}

// The text form of a time given as a float of seconds or a date: the
// shortest decimal text of the float, so that 1700000000.000001 means the
// microsecond it reads as; a datetime in ISO 8601, aware ones in UTC and
// naive ones taken as UTC, as the text form takes a time without offset.
std::optional<std::string> time_text(PyObject* obj, const Dates& d) {
    if (PyFloat_Check(obj)) {
        Ref repr(PyObject_Repr(obj));
        auto text = repr ? utf8_text(repr.get()) : std::nullopt;
        if (!text || text->find_first_of("eE") == std::string::npos) return text;
        Ref format(PyUnicode_FromString(".9f"));  // large and small floats repr in exponent form
        Ref fixed(format ? PyObject_Format(obj, format.get()) : nullptr);
        return fixed ? utf8_text(fixed.get()) : std::nullopt;
    }
    Py_INCREF(obj);
    Ref date(obj);
    if (PyObject_IsInstance(obj, d.datetime) == 1) {
        Ref offset(PyObject_CallMethod(obj, "utcoffset", nullptr));
        if (!offset) return std::nullopt;
        if (offset.get() != Py_None) date.reset(PyObject_CallMethod(obj, "astimezone", "O", d.utc));
    }
    Ref iso(date ? PyObject_CallMethod(date.get(), "isoformat", nullptr) : nullptr);
    return iso ? utf8_text(iso.get()) : std::nullopt;
}

// Nanoseconds since the epoch below this are before 1970-01-01T00:16:40Z,
// while seconds since the epoch stay below it for 30,000 years: an int this
// small is seconds given where nanoseconds are read.
constexpr uint64_t kLeastNanoseconds = 1000000000000;
constexpr const char* kTimeTypes = "float (seconds), int (nanoseconds), str or datetime";

bool time(const char* argument, PyObject* obj, std::optional<uint64_t>& out) {
    if (PyUnicode_Check(obj)) return parsed(argument, obj, archive::parse_time, out.emplace());
    if (PyBool_Check(obj)) return type_error(argument, kTimeTypes, obj);
    if (is_integer(obj)) {
        if (!integer(argument, obj, UINT64_MAX, "nanoseconds since the epoch", out.emplace())) return false;
        if (*out >= kLeastNanoseconds) return true;
        return value_error(argument, std::to_string(*out),
                           "an int this small is seconds, not nanoseconds: pass a float of seconds or an int of nanoseconds");
    }
    const Dates* d = dates();
    if (!d) return false;
    if (!PyFloat_Check(obj) && PyObject_IsInstance(obj, d->date) != 1)
        return type_error(argument, kTimeTypes, obj);
    auto text = time_text(obj, *d);
    return text && parsed(argument, *text, archive::parse_time, out.emplace());
}

// A five-tuple as the command's text or as (proto, addr, port, addr, port).
bool five_tuple(PyObject* obj, std::optional<archive::FiveTuple>& out) {
    constexpr const char* kName = "flow";
    if (PyUnicode_Check(obj)) return parsed(kName, obj, archive::parse_five_tuple, out.emplace());
    if (!PyTuple_Check(obj) && !PyList_Check(obj))
        return type_error(kName, "'PROTO ADDR PORT ADDR PORT' or a tuple (proto, addr, port, addr, port)", obj);
    if (PySequence_Size(obj) != 5) {
        raise({PyExc_ValueError, "argument 'flow': give (proto, addr, port, addr, port)"});
        return false;
    }
    Ref item[5];
    for (Py_ssize_t i = 0; i < 5; ++i)
        if (item[i].reset(PySequence_GetItem(obj, i)), !item[i]) return false;
    archive::FiveTuple& t = out.emplace();
    return protocol(kName, item[0].get(), t.protocol) && address(kName, item[1].get(), t.a) &&
           port(kName, item[2].get(), t.a_port) && address(kName, item[3].get(), t.b) &&
           port(kName, item[4].get(), t.b_port);
}

}  // namespace

std::optional<archive::FlowQuery> query_of(PyObject* ip, PyObject* port_arg, PyObject* between,
                                           PyObject* between_port, PyObject* proto, PyObject* since, PyObject* until,
                                           PyObject* flow, PyObject* community_id, PyObject* vni, PyObject* name,
                                           PyObject* app, PyObject* state) {
    for (PyObject** given :
         {&ip, &port_arg, &between, &between_port, &proto, &since, &until, &flow, &community_id, &vni, &name, &app,
          &state})
        if (*given == Py_None) *given = nullptr;
    archive::FlowQuery q;
    auto each = [](const char* argument, auto convert) {
        return [=](PyObject* obj, auto& out) { return convert(argument, obj, out); };
    };
    const bool ok =
        (!ip || one_or_list(ip, q.any_address, q.nothing, each("ip", address))) &&
        (!port_arg || one_or_list(port_arg, q.any_port, q.nothing, each("port", port))) &&
        (!between || one_or_list(between, q.addresses, q.nothing, each("between", address))) &&
        (!between_port || one_or_list(between_port, q.ports, q.nothing, each("between_port", port))) &&
        (!proto || one_or_list(proto, q.protocols, q.nothing, each("proto", protocol))) &&
        (!since || time("since", since, q.since)) && (!until || time("until", until, q.until)) &&
        (!flow || five_tuple(flow, q.tuple)) &&
        (!community_id || (PyUnicode_Check(community_id)
                               ? parsed("community_id", community_id, archive::parse_community_id, q.community_id.emplace())
                               : type_error("community_id", "str", community_id))) &&
        (!vni || (is_integer(vni) ? integer("vni", vni, kMaxVni, "a VNI", q.vni.emplace())
                                  : type_error("vni", "int", vni))) &&
        (!name || one_or_list(name, q.names, q.nothing, each("name", name_pattern))) &&
        (!app || (PyUnicode_Check(app) ? application(app, q.app.emplace()) : type_error("app", "str", app)));
        (!state || one_or_list(state, q.states, q.nothing, [](PyObject* obj, ConnState& out) {
             return PyUnicode_Check(obj) ? parsed("state", obj, archive::parse_conn_state, out)
                                         : type_error("state", "str", obj);
         }));
    if (!ok) return std::nullopt;
    return q;
}

}  // namespace flowsieve::python
