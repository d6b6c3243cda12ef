"""Python binding of the Korvessa card-terminal library, with ctypes and the standard library only.

The library runs one card transaction per call: from a fixed-width request record (``BankTrans``) or
from named fields (``PutValue``, ``TransProcess``, ``GetValue``). Records are space-padded GBK text;
this module builds them from keyword arguments, checking every width, and decodes the answers.

While a transaction runs, another thread may call only Library.state() (and state_seconds(), state_host())
and Library.abandon(); pay() runs the transaction on a worker thread and reports its progress on the
caller's. Abandoning after the request went out can still leave the card charged: it stops the register's
wait, it is not a cancel on the terminal.
"""

import ctypes
import decimal
import enum
import os
import shutil
import sys
import threading
from dataclasses import dataclass
from typing import Optional

__all__ = ["Library", "Request", "Response", "Result", "ResultCode", "FacadeResult", "STATES",
           "REQUEST_FIELDS", "RESPONSE_FIELDS", "FACADE_PUT_NAMES", "FACADE_GET_NAMES"]

REQUEST_SIZE = 106
RESPONSE_SIZE = 161
ENCODING = "gbk"  # every text of the library and its records (code page 936)

# (Python name, record name, offset, width), in record order.
REQUEST_FIELDS = (
    ("oper_type", "operType", 0, 2),
    ("trans_type", "transType", 2, 2),
    ("card_type", "cardType", 4, 2),
    ("cash_register_no", "cashRegisterNo", 6, 9),
    ("operator_no", "operatorNo", 15, 6),
    ("amount", "amount", 21, 12),
    ("cash_trace_number", "cashTraceNumber", 33, 12),
    ("print_flag", "printFlag", 45, 1),
    ("old_trace_number", "oldTraceNumber", 46, 6),
    ("host_serial_number", "hostserialNumber", 52, 12),
    ("old_auth_number", "oldAuthNumber", 64, 12),
    ("trans_date", "transDate", 76, 8),
    ("card_number", "cardNumber", 84, 19),
    ("reserved", "reserved", 103, 3),
)

RESPONSE_FIELDS = (
    ("oper_type", "operType", 0, 2),
    ("cmd_code", "cmdCode", 2, 2),
    ("reply4", "reply4", 4, 2),
    ("rej_code", "rejCode", 6, 2),
    ("reply41", "reply41", 8, 15),
    ("reply56", "reply56", 23, 8),
    ("reply139", "reply139", 31, 12),
    ("reply127", "reply127", 43, 12),
    ("amount", "amount", 55, 12),
    ("card_number", "cardNumber", 67, 19),
    ("reply123", "reply123", 86, 4),
    ("trans_date", "transDate", 90, 8),
    ("trans_time", "transTime", 98, 6),
    ("reply165", "reply165", 104, 6),
    ("host_serial_number", "hostserialNumber", 116, 12),
    ("reply183", "reply183", 128, 12),
    ("reply195", "reply195", 140, 6),
    ("reply35", "reply35", 146, 6),
    ("pos_trace_number", "posTraceNumber", 152, 6),
    ("reserved", "reserved", 158, 3),
)
_GAP = slice(110, 116)  # never written by the library: spaces in every filled response

# Names of the facade, with the width of the field each one fills or reads.
FACADE_PUT_NAMES = {"amount": 12, "oldTraceNumber": 6, "hostserialNumber": 12, "transDate": 8,
                    "transType": 2}
FACADE_GET_NAMES = ("rejCode", "rejCodeExplain", "cardNumber", "posTraceNumber", "hostserialNumber",
                    "transDate")

# Approved transactions of these types write no receipt file.
_NO_RECEIPT_TYPES = (b"00", b"80", b"92", b"94")


class ResultCode(enum.IntEnum):
    """What a BankTrans result means. REFUSED stands for every positive result (the terminal's code)."""

    APPROVED = 0
    REFUSED = 1
    OPEN_FAILED = -1
    ARGUMENT = -2
    TIMEOUT = -3
    WRITE_FAILED = -5
    TOO_LARGE = -10
    UNKNOWN = -1000

    @classmethod
    def of(cls, code: int) -> "ResultCode":
        if code > 0:
            return cls.REFUSED
        try:
            return cls(code)
        except ValueError:
            return cls.UNKNOWN

    @property
    def meaning(self) -> str:
        return _MEANINGS[self]


_MEANINGS = {
    ResultCode.APPROVED: "approved",
    ResultCode.REFUSED: "refused by the terminal",
    ResultCode.OPEN_FAILED: "the serial port could not be opened",
    ResultCode.ARGUMENT: "bad argument or undefined transaction type",
    ResultCode.TIMEOUT: "no acceptable answer from the terminal in time",
    ResultCode.WRITE_FAILED: "writing to the serial port failed",
    ResultCode.TOO_LARGE: "the request frame is too large",
    ResultCode.UNKNOWN: "unknown result",
}


def _encode(name: str, value, width: int) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    elif isinstance(value, str):
        try:
            data = value.encode(ENCODING)
        except UnicodeEncodeError as e:
            raise ValueError(f"{name}: {value!r} cannot be written in GBK") from e
    else:
        raise TypeError(f"{name}: expected str or bytes, got {type(value).__name__}")
    if len(data) > width:
        raise ValueError(f"{name}: {value!r} is {len(data)} bytes in GBK, the field holds {width}")
    if b"\0" in data:
        raise ValueError(f"{name}: NUL bytes cannot be sent")
    return data


def _amount_text(value) -> str:
    """Amount field text: str as it stands; int in minor units; Decimal in units (two decimals at most)."""
    if isinstance(value, bool):
        raise TypeError("amount: expected str, int or Decimal")
    if isinstance(value, decimal.Decimal):
        minor = value * 100
        if value < 0 or minor != minor.to_integral_value():
            raise ValueError(f"amount: {value} is negative or has more than two decimals")
        value = int(minor)
    if isinstance(value, int):
        if value < 0 or value > 999999999999:
            raise ValueError(f"amount: {value} minor units do not fit twelve digits")
        return "%012d" % value
    return value


def _decode(data: bytes) -> str:
    return data.rstrip(b" \0").decode(ENCODING, errors="replace")


class Request:
    """A 106-byte request record from keyword arguments (the names of REQUEST_FIELDS).

    Defaults are those of the facade: oper_type "A0", card_type "01", print_flag "Y"; every other field is
    spaces. Values are str (encoded as GBK) or bytes, left-aligned and space-padded; a value longer than
    its field raises ValueError. amount also takes an int (minor units) or a Decimal (units).
    """

    def __init__(self, **fields):
        values = {"oper_type": "A0", "card_type": "01", "print_flag": "Y"}
        values.update(fields)
        record = bytearray(b" " * REQUEST_SIZE)
        known = {f[0]: f for f in REQUEST_FIELDS}
        for name, value in values.items():
            if name not in known:
                raise TypeError(f"unknown request field {name!r}")
            _, _, off, width = known[name]
            if name == "amount":
                value = _amount_text(value)
            data = _encode(name, value, width)
            record[off:off + len(data)] = data
        self.record = bytes(record)

    def __bytes__(self) -> bytes:
        return self.record


class Response:
    """A filled 161-byte response record; its fields as attributes (RESPONSE_FIELDS), decoded from GBK."""

    def __init__(self, raw: bytes):
        self.raw = raw
        for name, _, off, width in RESPONSE_FIELDS:
            setattr(self, name, _decode(raw[off:off + width]))

    def __repr__(self) -> str:
        return f"Response({self.raw!r})"


@dataclass
class Result:
    code: int                        # BankTrans's result as returned
    status: ResultCode
    return_code: Optional[str]       # the terminal's two-character refusal code, for a positive result
    response: Optional[Response]     # None when the library left the record untouched (open or handshake failed)
    receipt_path: Optional[str]      # the receipt file an approved transaction wrote, else None


@dataclass
class FacadeResult:
    rej_code: str          # "00" approved, "x1".."x6"/"ff" local failures, else the terminal's code
    rej_code_explain: str  # the explanation configured for that code
    card_number: str
    pos_trace_number: str
    host_serial_number: str
    trans_date: str

    @property
    def approved(self) -> bool:
        return self.rej_code == "00"


def _profile_string(path: str, section: str, key: str, default: str) -> str:
    """Reads a Config.ini value as the library does: names case-insensitive, blanks trimmed, one pair of
    quotes removed, ';' comments, first match wins."""
    try:
        with open(path, "rb") as f:
            lines = f.read().decode(ENCODING, errors="replace").splitlines()
    except OSError:
        return default
    current = None
    for line in lines:
        t = line.strip()
        if not t or t.startswith(";"):
            continue
        if t.startswith("["):
            current = t[1:t.find("]")].strip().lower() if "]" in t else None
            continue
        if current != section.lower() or "=" not in t:
            continue
        k, v = t.split("=", 1)
        if k.strip().lower() == key.lower():
            v = v.strip()
            if len(v) >= 2 and v[0] == v[-1] and v[0] in "\"'":
                v = v[1:-1]
            return v
    return default


def _stamp(path: str):
    """What tells a rewritten file from an old one: None when there is no file."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size, st.st_ino) if os.path.isfile(path) else None


# The library allows one transaction at a time per process. state(), abandon() and pay()'s progress do
# not take this lock: they are the calls the library answers at once while a transaction runs.
_lock = threading.Lock()

# The steps GetValue("state") reports, in the order a call goes through them.
STATES = ("idle", "opening", "handshake", "waiting", "host", "finishing")


class Library:
    """One copy of the library, loaded from a file or from the folder that holds it.

    Deploy the library with its Config.ini in a folder the application may write (the log and, by
    default, the receipt are written beside it and in the current directory). Without a path, the
    environment variable KORVESSA_LIBRARY or the current directory is used. When that folder holds
    no library and this package carries one (the wheel of make dist does), the package's library is
    copied into the folder first: the library reads Config.ini and writes its log beside itself, never
    inside the Python installation.
    """

    FILE_NAME = "KorvessaDLL.dll" if sys.platform == "win32" else "libKorvessaDLL.so"
    BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)), FILE_NAME)

    def __init__(self, path: Optional[str] = None):
        path = path or os.environ.get("KORVESSA_LIBRARY") or os.getcwd()
        if os.path.isdir(path):
            path = os.path.join(path, self.FILE_NAME)
            if not os.path.exists(path) and os.path.isfile(self.BUNDLED):
                # Copied under a temporary name and renamed: no process ever loads a half-written file.
                part = path + ".part"
                shutil.copyfile(self.BUNDLED, part)
                os.replace(part, path)
        self.path = os.path.abspath(path)
        self.config_path = os.path.join(os.path.dirname(self.path), "Config.ini")
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        try:
            self._dll = loader(self.path)
        except OSError as e:
            bits = 8 * ctypes.sizeof(ctypes.c_void_p)
            raise OSError(f"cannot load {self.path} into this {bits}-bit Python: {e}") from e
        d = self._dll
        d.BankTrans.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        d.BankTrans.restype = ctypes.c_int
        d.PutValue.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        d.PutValue.restype = None
        d.TransProcess.argtypes = []
        d.TransProcess.restype = None
        d.GetValue.argtypes = [ctypes.c_char_p]
        d.GetValue.restype = ctypes.c_char_p  # copied at once: the library's buffer is reused

    def receipt_file(self) -> str:
        """The receipt path that Config.ini names (relative to the current directory unless absolute)."""
        folder = _profile_string(self.config_path, "TXTFILENAME", "FilePath", ".\\") or ".\\"
        name = _profile_string(self.config_path, "TXTFILENAME", "FileName", "print.txt")
        if folder[-1] not in "\\/":
            folder += "\\"
        path = folder + name
        return path if os.sep == "\\" else path.replace("\\", "/")

    def bank_trans(self, request) -> Result:
        """Runs one transaction from a Request (or a 106-byte record) and returns its Result."""
        record = bytes(request)
        if len(record) != REQUEST_SIZE:
            raise ValueError(f"a request record has {REQUEST_SIZE} bytes, not {len(record)}")
        # Mutable copies: the library may mark field ends in the request while it logs it, and restores it.
        req = ctypes.create_string_buffer(record, REQUEST_SIZE)
        rsp = ctypes.create_string_buffer(RESPONSE_SIZE)  # zero bytes: a filled record has spaces at the gap
        receipt = self.receipt_file()
        before = _stamp(receipt)
        with _lock:
            code = self._dll.BankTrans(req, rsp)
        raw = rsp.raw
        status = ResultCode.of(code)
        response = Response(raw) if raw[_GAP] == b" " * 6 else None
        return_code = None
        if code > 0:
            return_code = bytes([code & 0xFF, (code >> 8) & 0xFF]).decode(ENCODING, errors="replace")
        # A receipt is reported only when this call wrote it: a file left from an earlier transaction is
        # not this one's (when the library cannot write it, it logs that and the payment stands).
        after = _stamp(receipt)
        if code != 0 or record[2:4] in _NO_RECEIPT_TYPES or after is None or after == before:
            receipt = None
        return Result(code, status, return_code, response, receipt)

    # The facade: the library's own records, filled by name.

    def put_value(self, name: str, value) -> None:
        data = _facade_value(name, value)
        with _lock:
            self._dll.PutValue(name.encode("ascii"), data)

    def trans_process(self) -> None:
        with _lock:
            self._dll.TransProcess()

    def get_value(self, name: str) -> str:
        if name not in FACADE_GET_NAMES:
            raise ValueError(f"GetValue takes {list(FACADE_GET_NAMES)}, not {name!r}")
        with _lock:
            return self._get(name)

    def facade(self, **values) -> FacadeResult:
        """PutValue for each keyword (facade names), TransProcess, then every GetValue."""
        data = {name: _facade_value(name, value) for name, value in values.items()}  # all checked first
        with _lock:  # one transaction: nothing of another thread between the puts and the gets
            for name, value in data.items():
                self._dll.PutValue(name.encode("ascii"), value)
            self._dll.TransProcess()
            return FacadeResult(*[self._get(n) for n in FACADE_GET_NAMES])

    # While a transaction runs: where it stands, and giving up the wait. Any thread, at once.

    def state(self) -> str:
        """The step of the call in progress: one of STATES ("idle" when none runs)."""
        return self._get("state")

    def state_seconds(self) -> int:
        """Whole seconds since the current step began."""
        return int(self._get("stateSeconds") or 0)

    def state_host(self) -> str:
        """The bank host ("address:port") while the state is "host", else ""."""
        return self._get("stateHost")

    def abandon(self) -> None:
        """Stops waiting for the terminal: the call in progress ends with -3 (TIMEOUT) at its next 100 ms
        step, or before its next frame is written. Once the request went out the terminal may still have
        charged the card (the outcome is uncertain: check the journal); it is not a cancel on the
        terminal. With no call running it does nothing."""
        self._dll.PutValue(b"abandon", b"1")

    def pay(self, request, progress=None, interval: float = 0.1) -> Result:
        """bank_trans on a worker thread, calling progress(state, seconds, host) from this thread every
        interval seconds while it runs. progress may call abandon(); a KeyboardInterrupt (Ctrl-C) or any
        exception while waiting abandons the call, waits for its end and is raised again."""
        outcome = {}

        def work():
            try:
                outcome["result"] = self.bank_trans(request)
            except BaseException as e:  # raised on the caller's thread below
                outcome["error"] = e

        worker = threading.Thread(target=work, name="korvessa-pay", daemon=True)
        worker.start()
        try:
            while worker.is_alive():
                if progress is not None:
                    step = self.state()
                    progress(step, self.state_seconds(), self.state_host() if step == "host" else "")
                worker.join(interval)
        except BaseException:
            self.abandon()
            worker.join()
            raise
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]

    def _get(self, name: str) -> str:
        return (self._dll.GetValue(name.encode("ascii")) or b"").decode(ENCODING, errors="replace")


def _facade_value(name: str, value) -> bytes:
    if name not in FACADE_PUT_NAMES:
        raise ValueError(f"PutValue takes {sorted(FACADE_PUT_NAMES)}, not {name!r}")
    if name == "amount":
        value = _amount_text(value)
    return _encode(name, value, FACADE_PUT_NAMES[name])
