# Types of the compiled flowsieve module. The classes are immutable views made
# only by the module (Archive.open, read_flows, Archive and Flow methods):
# calling a class raises TypeError, none can be subclassed, and every attribute
# is read-only. Doc strings are the runtime objects' own.

from datetime import date
from os import PathLike
from types import TracebackType
from typing import Any, Dict, Iterable, List, Literal, Optional, Sequence, SupportsIndex, Tuple, Type, Union, final, overload

import numpy
from numpy.typing import NDArray

# Every path argument, as open() takes it: a str (encoded as os.fsencode encodes it), bytes or any os.PathLike.
_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]
# The valid values; the module takes them in any case. ip_filters and
# port_filters must not be a bare str, which raises TypeError when called.
_Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit", "connection"]
_OutputType = Literal["pcap", "l7", "stream"]
_Tunnels = Literal["outer", "inner"]

# The package's version.
__version__: str

# Query arguments of Archive.find and Store.find: one value or a list; times as float seconds, int
# nanoseconds, a date or datetime (naive ones in UTC) or the command's text.
_Addresses = Union[str, List[str], Tuple[str, ...]]
_Ports = Union[int, List[int], Tuple[int, ...]]
_Names = Union[str, List[str], Tuple[str, ...]]
_App = Literal["tls", "quic", "http", "dns", "ssh", "bittorrent"]
_Protocols = Union[str, int, List[Union[str, int]], Tuple[Union[str, int], ...]]
_Time = Union[float, int, str, date]
_FiveTuple = Union[str, Tuple[Union[str, int], str, int, str, int]]

__all__ = ["Archive", "Flow", "Packet", "Store", "FlowArrays", "create_archive", "split", "pipe_archive",
           "flow_arrays", "read_flows"]

@final
class Archive:
    @staticmethod
    def open(path: _Path) -> Archive:
        """Open a .fsieve archive file."""
    @property
    def flow_count(self) -> int: ...
    @property
    def link_type(self) -> int: ...
    def flows(self) -> List[Flow]:
        """Return all flows as a list of Flow objects."""
    def get_flow(self, flow_id: SupportsIndex) -> Optional[Flow]:
        """Get a specific flow by ID."""
    def find_by_ip(self, ip_str: str) -> List[Flow]:
        """Find flows matching an IP address (src or dst)."""
    def find_by_port(self, port: SupportsIndex) -> List[Flow]:
        """Find flows matching a port number (src or dst)."""
    def find_by_protocol(self, proto_str: str) -> List[Flow]:
        """Find flows matching a protocol: "tcp", "udp", or "icmp"."""
    def find(
        self,
        *,
        ip: Optional[_Addresses] = None,
        port: Optional[_Ports] = None,
        between: Optional[_Addresses] = None,
        between_port: Optional[_Ports] = None,
        proto: Optional[_Protocols] = None,
        since: Optional[_Time] = None,
        until: Optional[_Time] = None,
        flow: Optional[_FiveTuple] = None,
        community_id: Optional[str] = None,
        vni: Optional[SupportsIndex] = None,
        name: Optional[_Names] = None,
        app: Optional[_App] = None,
        state: Optional[Union[str, Sequence[str]]] = None,
    ) -> List[Flow]:
        """The flows that meet every condition given, by ascending id; every flow in table order without one.

        ip, port and proto take one value or a list of which any will do (proto a name or a number);
        between and between_port one or a list of which all must be the flow's endpoints; an empty list
        matches no flow. since and until a float of seconds, an int of nanoseconds (at least 10**12), a
        datetime (naive ones in UTC) or the command's text;
        flow a tuple (proto, addr, port, addr, port), either direction, or the command's text; vni the VNI of
        the flow's innermost VXLAN or GENEVE tunnel, in an archive built with tunnels="inner"; name a
        server name pattern or a list of which any will do, ignoring case ("*.example.com" every name
        below example.com, "example.com" that name alone); app "tls", "quic", "http", "dns",
        "ssh" or "bittorrent"; state one connection state ("SF", "REJ", ...) or a list of which any
        will do."""
    def close(self) -> None:
        """Release the archive; its flows and packets stay usable. Closing twice does nothing."""
    def __enter__(self) -> Archive: ...
    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> Literal[False]: ...
    def __len__(self) -> int: ...

@final
class Flow:
    @property
    def id(self) -> int: ...
    @property
    def proto(self) -> int: ...
    @property
    def proto_name(self) -> str: ...
    @property
    def src_addr(self) -> str: ...
    @property
    def dst_addr(self) -> str: ...
    @property
    def src_port(self) -> int: ...
    @property
    def dst_port(self) -> int: ...
    @property
    def packet_count(self) -> int: ...
    @property
    def total_bytes(self) -> int: ...
    @property
    def start_ts(self) -> float: ...
    @property
    def end_ts(self) -> float: ...
    @property
    def archive_path(self) -> str:
        """The path of the archive the flow came from, as it was opened."""
    @property
    def community_id(self) -> Optional[str]:
        """Community ID (version 1, seed 0) of the flow's first packet; None without an IP layer."""
    @property
    def tunnel(self) -> Optional[str]:
        """The tunnels of the flow's first packet from outer to inner, such as "geneve 0 / vxlan 303", in an archive built with tunnels="inner"; None outside tunnels."""
    @property
    def server_name(self) -> Optional[str]:
        """The server name of the flow's first packets: a TLS or QUIC ClientHello's server name, an HTTP/1.x request's Host without its port, a DNS query's name; None when they carry none."""
    @property
    def app(self) -> Optional[_App]:
        """What the flow's payload is by its bytes: "tls", "quic", "http", "dns", "ssh" or "bittorrent"; None when they do not say."""
    @property
    def orig_packets(self) -> Optional[int]:
        """Packets the originator sent; None in an archive written before connections were counted."""
    @property
    def orig_ip_bytes(self) -> Optional[int]:
        """IP bytes (the datagrams' stated lengths) the originator sent; None in an older archive."""
    @property
    def resp_packets(self) -> Optional[int]:
        """Packets the responder sent; None in an older archive."""
    @property
    def resp_ip_bytes(self) -> Optional[int]:
        """IP bytes the responder sent; None in an older archive."""
    @property
    def flipped(self) -> Optional[bool]:
        """True when the originator is the flow's destination; None in an older archive."""
    @property
    def state(self) -> Optional[str]:
        """Zeek's conn_state code ("SF", "S0", "REJ", ...); None without an IP layer or in an older archive."""
    @property
    def history(self) -> Optional[str]:
        """Zeek's history letters ("ShADadFf"); None in an older archive."""
    def packets(self) -> List[Packet]:
        """Return all packets in this flow as a list of Packet objects."""
    @overload
    def streams(self, *, gaps: Literal[False] = False) -> List[Tuple[bytes, bytes]]: ...
    @overload
    def streams(
        self, *, gaps: Literal[True]
    ) -> List[Tuple[bytes, bytes, List[Tuple[int, int]], List[Tuple[int, int]]]]:
        """Return what each side sent as a list of (initiator bytes, responder bytes), one pair per TCP connection, reassembled by sequence number; for other protocols one pair of payloads in capture order. With gaps=True each item is (initiator bytes, responder bytes, initiator gaps, responder gaps), a gap (offset, missing): bytes never captured, left out after the first offset bytes of the side."""

@final
class Packet:
    @property
    def ts_sec(self) -> int: ...
    @property
    def ts_usec(self) -> int: ...
    @property
    def ts_nsec(self) -> int:
        """Nanoseconds within the second (ts_usec * 1000 in a capture of microseconds)."""
    @property
    def link_type(self) -> int:
        """Link type of the frame's interface."""
    @property
    def length(self) -> int: ...
    @property
    def orig_len(self) -> int: ...
    @property
    def ts(self) -> float: ...
    @property
    def data(self) -> bytes:
        """Raw L2 frame data (Ethernet frame or equivalent)."""

@final
class Store:
    """Archives and folders of archives asked as one: a folder stands for every *.fsieve file in it."""
    def __new__(cls, *paths: _Path) -> Store: ...
    @property
    def archives(self) -> List[str]:
        """The store's archives in the order they are asked: each named, and each folder's *.fsieve files by name, less those skipped."""
    @property
    def skipped(self) -> List[Tuple[str, str]]:
        """(path, reason) of each archive of a folder passed over as unreadable."""
    def find(
        self,
        *,
        ip: Optional[_Addresses] = None,
        port: Optional[_Ports] = None,
        between: Optional[_Addresses] = None,
        between_port: Optional[_Ports] = None,
        proto: Optional[_Protocols] = None,
        since: Optional[_Time] = None,
        until: Optional[_Time] = None,
        flow: Optional[_FiveTuple] = None,
        community_id: Optional[str] = None,
        vni: Optional[SupportsIndex] = None,
        name: Optional[_Names] = None,
        app: Optional[_App] = None,
        state: Optional[Union[str, Sequence[str]]] = None,
    ) -> List[Flow]:
        """The flows of every archive that meet every condition given, as Archive.find takes them: archive by
        archive, by ascending id. An archive of a folder that cannot be read is skipped with a RuntimeWarning."""
    @overload
    def export(self, flows: Iterable[Flow], path: None = None) -> bytes: ...
    @overload
    def export(self, flows: Iterable[Flow], path: _Path) -> None:
        """The packets of the flows as one capture file in timestamp order (equal times in archive, flow and
        packet order), written to path under a temporary name, or returned as bytes without one: pcapng when
        the frames are of several link types."""
    def close(self) -> None:
        """Close the store; its flows stay usable."""
    def __enter__(self) -> Store: ...
    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> Literal[False]: ...

@final
class FlowArrays:
    # One row per flow: the flow's fields and counts (shape (F,)), its first
    # K packets (F, K), their first M bytes (F, K, M), its payload (F, L).
    @property
    def id(self) -> NDArray[numpy.uint32]: ...
    @property
    def proto(self) -> NDArray[numpy.uint8]: ...
    @property
    def src_port(self) -> NDArray[numpy.uint16]: ...
    @property
    def dst_port(self) -> NDArray[numpy.uint16]: ...
    @property
    def src_addr(self) -> NDArray[numpy.str_]: ...
    @property
    def dst_addr(self) -> NDArray[numpy.str_]: ...
    @property
    def key(self) -> NDArray[numpy.str_]: ...
    @property
    def community_id(self) -> NDArray[numpy.str_]: ...
    @property
    def start_ns(self) -> NDArray[numpy.int64]: ...
    @property
    def end_ns(self) -> NDArray[numpy.int64]: ...
    @property
    def packet_count(self) -> NDArray[numpy.uint64]: ...
    @property
    def byte_count(self) -> NDArray[numpy.uint64]: ...
    @property
    def fwd_packets(self) -> NDArray[numpy.uint64]: ...
    @property
    def fwd_bytes(self) -> NDArray[numpy.uint64]: ...
    @property
    def bwd_packets(self) -> NDArray[numpy.uint64]: ...
    @property
    def bwd_bytes(self) -> NDArray[numpy.uint64]: ...
    @property
    def sizes(self) -> NDArray[numpy.int32]: ...
    @property
    def directions(self) -> NDArray[numpy.int8]: ...
    @property
    def iat_ns(self) -> NDArray[numpy.int64]: ...
    @property
    def tcp_flags(self) -> NDArray[numpy.uint8]: ...
    @property
    def packet_bytes(self) -> NDArray[numpy.uint8]: ...
    @property
    def payload(self) -> NDArray[numpy.uint8]: ...
    @property
    def payload_len(self) -> NDArray[numpy.int32]: ...
    @property
    def server_name(self) -> NDArray[numpy.str_]: ...
    @property
    def app(self) -> NDArray[numpy.str_]: ...
    @property
    def orig_packets(self) -> NDArray[numpy.uint64]: ...
    @property
    def orig_ip_bytes(self) -> NDArray[numpy.uint64]: ...
    @property
    def resp_packets(self) -> NDArray[numpy.uint64]: ...
    @property
    def resp_ip_bytes(self) -> NDArray[numpy.uint64]: ...
    @property
    def flipped(self) -> NDArray[numpy.bool_]: ...
    @property
    def state(self) -> NDArray[numpy.str_]: ...
    @property
    def history(self) -> NDArray[numpy.str_]: ...
    def frame(self, *, wide: bool = False) -> Any:
        """The per-flow arrays as the columns of a pandas DataFrame, one row per flow;
        wide=True adds the per-packet arrays and the payload, a column for each of their places:
        sizes_0 ... sizes_{K-1}, directions_*, iat_ns_*, tcp_flags_*, payload_0 ... payload_{L-1}."""

def create_archive(
    input_path: _Path,
    output_path: _Path,
    strategy: _Strategy = "session",
    max_sessions: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[int] = ...,
    tunnels: _Tunnels = "outer",
    *,
    dedup: bool = False,
    idle_timeouts: Optional[Dict[str, float]] = None,
) -> None:
    """Create a .fsieve archive from a pcap/pcapng file."""

def split(
    input_path: _Path,
    output_dir: _Path,
    strategy: _Strategy = "session",
    max_sessions: SupportsIndex = 10000,
    buffer_bytes: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[int] = ...,
    output_type: _OutputType = "pcap",
    tunnels: _Tunnels = "outer",
    *,
    dedup: bool = False,
    idle_timeouts: Optional[Dict[str, float]] = None,
) -> None:
    """Split a pcap/pcapng file into per-flow pcap or L7 files."""

def pipe_archive(archive_path: _Path) -> List[bytes]:
    """Yield each flow from a .fsieve archive as a complete pcap file (bytes).
    Returns a list of bytes; each bytes object is a standalone pcap file."""

def flow_arrays(
    source: Union[_Path, Archive],
    strategy: Optional[_Strategy] = None,
    packets: SupportsIndex = 8,
    packet_bytes: SupportsIndex = 0,
    payload_bytes: SupportsIndex = 0,
    anonymize: bool = True,
    flows: Optional[Sequence[Flow]] = None,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[int] = ...,
    tunnels: _Tunnels = "outer",
    *,
    dedup: bool = False,
    idle_timeouts: Optional[Dict[str, float]] = None,
) -> FlowArrays:
    """A capture's flows (a path, or "-" for standard input) or an Archive's as NumPy arrays, one row per flow.

    Returns a FlowArrays whose attributes are the arrays: the flow's fields and counts, the sizes,
    directions, gaps and TCP flags of its first `packets` packets (the earliest, in time order), their
    first `packet_bytes` bytes from the IP header on, and the first `payload_bytes` bytes of its payload."""

def read_flows(
    input_path: _Path,
    strategy: _Strategy = "session",
    max_sessions: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[int] = ...,
    tunnels: _Tunnels = "outer",
    *,
    dedup: bool = False,
    idle_timeouts: Optional[Dict[str, float]] = None,
) -> Archive:
    """Directly read a pcap/pcapng file and return all flows as an Archive.

    Internally creates a temporary .fsieve archive, opens it, and returns
    the Archive. The temp file is cleaned up when the Archive is garbage collected."""
