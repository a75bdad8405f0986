"""Listings of NTFS drives from the OstrinNT service, through its client library OstrinAPI.

The library is the one the environment variable OSTRIN_LIBRARY names, else the one the system finds
(libOstrinAPI.so, OstrinAPI.dll). It is loaded at the first call that needs it.

    import ostrin
    for dirpath, dirnames, filenames in ostrin.walk("C:\\Users"):
        ...

Drives. scandir() and walk() take paths with a drive letter ("C:\\Windows"). When that drive is open
through open_drive(), they list it; otherwise they open it for the one call and close it again when
the listing ends (walk: when its generator is used up or closed). Every function that needs the
service connects first when no connection is made.

Times are naive datetime objects in the service's local time (the zone it scanned the drive in), as
the library gives them. Errors are OstrinError, with the library's code and text; a path that names
nothing is NotFoundError (a FileNotFoundError too), code 0, as the library finds nothing without an
error. The library takes calls from one thread at a time; this module holds a lock around each call.
"""
import ctypes
import ctypes.util
import datetime
import os
import socket
import struct
import sys
import tempfile
import threading

__all__ = ["OstrinError", "NotFoundError", "Entry", "Drive", "connect", "disconnect", "open_drive",
           "scandir", "walk"]

# The library's error codes this module raises itself (the names of OstrinAPI.h).
OSTRIN_ERROR_NONE = 0
OSTRIN_ERROR_PROTOCOL_MAGIC_BAD = 2001
OSTRIN_ERROR_DRIVE_NOT_OPEN = 3001
OSTRIN_ERROR_COMMUNICATION = 3009

SERVICE_HOST, SERVICE_PORT = "127.0.0.1", 49020
_ATTRIBUTE_DIRECTORY = 0x10
_FILETIME_START = datetime.datetime(1601, 1, 1)


class OstrinError(Exception):
    """An error of the service or the library: .code is its OSTRIN_ERROR_ number, .text its text."""

    def __init__(self, code, text):
        super().__init__(f"{text} (error {code})" if code else text)
        self.code = code
        self.text = text


class NotFoundError(OstrinError, FileNotFoundError):
    """A path that names no entry. The library reports a miss as no error, so .code is 0."""


class _FileTime(ctypes.Structure):
    _fields_ = [("low", ctypes.c_uint32), ("high", ctypes.c_uint32)]


class _FindData(ctypes.Structure):
    """WIN32_FIND_DATAW, with the Windows layout on every platform."""
    _fields_ = [("attributes", ctypes.c_uint32), ("created", _FileTime), ("accessed", _FileTime),
                ("written", _FileTime), ("size_high", ctypes.c_uint32), ("size_low", ctypes.c_uint32),
                ("reserved0", ctypes.c_uint32), ("reserved1", ctypes.c_uint32),
                ("name", ctypes.c_uint16 * 260), ("alternate", ctypes.c_uint16 * 14)]


_Progress = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32, ctypes.c_int32)
_library = None
_connected = False
_drives = {}  # letter -> the open Drive of that letter
_lock = threading.RLock()
_in_progress = False  # the progress callback runs inside OstOpenDrive, which it must not call into


def _load():
    names = [os.environ.get("OSTRIN_LIBRARY"), ctypes.util.find_library("OstrinAPI"),
             "OstrinAPI.dll" if sys.platform == "win32" else "libOstrinAPI.so"]
    names = [name for name in names if name]
    if os.environ.get("OSTRIN_LIBRARY"):
        names = names[:1]  # a library named by the user is the one, or none
    failures = []
    for name in names:
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as error:
            failures.append(str(error))
    else:
        raise OSError("cannot load OstrinAPI (set OSTRIN_LIBRARY to its file): " + "; ".join(failures))
    u16, i32, u32, handle = ctypes.c_uint16, ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p
    text = ctypes.POINTER(ctypes.c_uint16)
    for name, result, arguments in [
            ("OstConnect", i32, []), ("OstDisconnect", i32, []),
            ("OstGetLastError", i32, [u16]), ("OstGetLastErrorString", i32, [u16, text, u32]),
            ("OstOpenDrive", i32, [u16, _Progress, i32]), ("OstCloseDrive", i32, [u32]),
            ("OstGetMemoryUsage", ctypes.c_uint64, [u32]),
            ("OstFindFirstFile", handle, [u32, text, ctypes.POINTER(_FindData)]),
            ("OstFindNextFile", i32, [handle, ctypes.POINTER(_FindData)]), ("OstFindClose", None, [handle])]:
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


class _Calls:
    """The library, held for one call group: under the lock, never from the progress callback."""

    def __enter__(self):
        global _library
        _lock.acquire()
        if _in_progress:
            _lock.release()
            raise RuntimeError("the progress callback of open_drive must not call ostrin")
        try:
            if _library is None:
                _library = _load()
        except BaseException:
            _lock.release()
            raise
        return _library

    def __exit__(self, *exception):
        _lock.release()


def _wide(text):
    data = text.encode("utf-16-le", "surrogatepass") + b"\0\0"
    return (ctypes.c_uint16 * (len(data) // 2)).from_buffer_copy(data)


def _bytes(units):
    return ctypes.string_at(ctypes.addressof(units), ctypes.sizeof(units))


def _text(units):
    return _bytes(units).decode("utf-16-le", "surrogatepass").split("\0", 1)[0]


def _drive_error(lib, letter):
    """The drive's last error as an OstrinError."""
    code = lib.OstGetLastError(ord(letter))
    size = lib.OstGetLastErrorString(ord(letter), None, 0)
    text = ""
    if size > 1:
        buffer = (ctypes.c_uint16 * size)()
        lib.OstGetLastErrorString(ord(letter), buffer, size)
        text = _text(buffer)
    return OstrinError(code, text or f"drive {letter}: failed")


def _time(filetime):
    ticks = (filetime.high << 32) | filetime.low
    try:
        return _FILETIME_START + datetime.timedelta(microseconds=ticks // 10)
    except OverflowError:
        return datetime.datetime.max


class Entry:
    """An entry of a directory, as os.DirEntry: name, path, is_dir(), is_file(); size and allocated
    in bytes (0 for a directory), attributes (the Windows attribute bits), created, modified (last
    write) and accessed (datetime, the service's local time)."""
    __slots__ = ("name", "path", "attributes", "size", "allocated", "created", "modified", "accessed")

    def __init__(self, directory, data):
        self.name = _text(data.name)
        self.path = directory + self.name
        self.attributes = data.attributes
        self.size = (data.size_high << 32) | data.size_low
        high, low = struct.unpack("=II", _bytes(data.alternate)[:8])
        self.allocated = (high << 32) | low  # the library passes it in the alternate name, high word first
        self.created, self.modified, self.accessed = _time(data.created), _time(data.written), _time(data.accessed)

    def is_dir(self):
        """True for a directory."""
        return bool(self.attributes & _ATTRIBUTE_DIRECTORY)

    def is_file(self):
        """True for a file (anything not a directory)."""
        return not self.is_dir()

    def __repr__(self):
        return f"<ostrin.Entry {self.path!r}>"


def _split(path, letter=None):
    """(letter, directory) of "X:\\dir" or, with letter given, of "\\dir"; directory ends with "\\"."""
    path = os.fspath(path).replace("/", "\\")
    if len(path) >= 2 and path[1] == ":" and "A" <= path[0].upper() <= "Z":
        if letter is not None and path[0].upper() != letter:
            raise ValueError(f"{path!r} is not on drive {letter}:")
        letter, path = path[0].upper(), path[2:]
    elif letter is None:
        raise ValueError(f"{path!r} names no drive (a path such as 'C:\\Windows')")
    if path in ("", "\\"):
        return letter, "\\"
    return letter, path if path.endswith("\\") else path + "\\"


def _read(index, letter, pattern):
    """The entries OstFindFirstFile and OstFindNextFile find for pattern, e.g. "\\dir\\*"."""
    with _Calls() as lib:
        data = _FindData()
        find = lib.OstFindFirstFile(index, _wide(pattern), ctypes.byref(data))
        directory = letter + ":" + pattern[:pattern.rfind("\\") + 1]
        if not find:
            if lib.OstGetLastError(ord(letter)):
                raise _drive_error(lib, letter)
            return []
        try:
            entries = [Entry(directory, data)]
            while lib.OstFindNextFile(find, ctypes.byref(data)):
                entries.append(Entry(directory, data))
            if lib.OstGetLastError(ord(letter)):
                raise _drive_error(lib, letter)
        finally:
            lib.OstFindClose(find)
        return entries


class Drive:
    """A drive open through open_drive(); a context manager that closes it at the end."""

    def __init__(self, letter, index):
        self.letter, self.index, self.closed = letter, index, False

    def scandir(self, path="\\"):
        """An iterator over the entries of the directory path ("\\dir" or "X:\\dir" on this drive),
        subdirectories first. Raises NotFoundError when path names no entry, OstrinError otherwise."""
        letter, directory = _split(path, self.letter)
        if self.closed:
            raise OstrinError(OSTRIN_ERROR_DRIVE_NOT_OPEN, f"drive {letter}: is closed")
        entries = _read(self.index, letter, directory + "*")
        # An empty directory and a missing one both find nothing: look the directory itself up.
        if not entries and directory != "\\" and not _read(self.index, letter, directory):
            raise NotFoundError(OSTRIN_ERROR_NONE, f"no such directory: {os.fspath(path)}")
        return iter(entries)

    def walk(self, top="\\"):
        """(dirpath, dirnames, filenames) for top and every directory below it, top-down, as
        os.walk; names removed from dirnames are not entered. Errors raise (os.walk skips them)."""
        letter, directory = _split(top, self.letter)
        pending = [f"{letter}:{directory}"]
        while pending:
            dirpath = pending.pop()
            dirnames, filenames = [], []
            for entry in self.scandir(dirpath):
                (dirnames if entry.is_dir() else filenames).append(entry.name)
            yield (dirpath if dirpath.endswith(":\\") else dirpath.rstrip("\\")), dirnames, filenames
            base = dirpath if dirpath.endswith("\\") else dirpath + "\\"
            pending.extend(base + name for name in reversed(dirnames))

    @property
    def memory_usage(self):
        """The size in bytes of the drive's image."""
        with _Calls() as lib:
            return lib.OstGetMemoryUsage(self.index)

    def close(self):
        """Closes the drive (again: nothing). Raises OstrinError when the service refused."""
        if self.closed:
            return
        with _Calls() as lib:
            self.closed = True
            _drives.pop(self.letter, None)
            if not lib.OstCloseDrive(self.index) or lib.OstGetLastError(ord(self.letter)):
                raise _drive_error(lib, self.letter)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __repr__(self):
        return f"<ostrin.Drive {self.letter}:{' closed' if self.closed else ''}>"


def _listening():
    try:
        socket.create_connection((SERVICE_HOST, SERVICE_PORT), timeout=5).close()
        return True
    except OSError:
        return False


def _connect_quietly(lib):
    """OstConnect, with the line it writes to standard error when it fails made its result."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as shown:
        os.dup2(shown.fileno(), 2)
        try:
            connected = lib.OstConnect()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        shown.seek(0)
        return connected, shown.read().decode("utf-8", "replace").strip().removeprefix("Error:").strip()


def connect():
    """Connects to the service (again: a new connection, e.g. after a restart of the service).
    Raises OstrinError 3009 when the service does not answer, 2001 when it refuses the greeting."""
    global _connected
    with _Calls() as lib:
        _connected = False
        if sys.platform == "win32":
            # Checked first: a failed OstConnect shows a message box and waits for a click.
            if not _listening():
                raise OstrinError(OSTRIN_ERROR_COMMUNICATION, "Can not connect to OstrinNT service. Is the service running?")
            connected, message = lib.OstConnect(), ""
        else:
            connected, message = _connect_quietly(lib)
        if not connected:
            message = message or "OstrinNT communication error."
            code = OSTRIN_ERROR_PROTOCOL_MAGIC_BAD if "protocol" in message else OSTRIN_ERROR_COMMUNICATION
            raise OstrinError(code, message)
        _connected = True


def disconnect():
    """Closes every drive open through this module and says goodbye to the service (without a
    connection: nothing). Raises the first error after all of it is done."""
    global _connected
    errors = []
    with _Calls() as lib:
        for drive in list(_drives.values()):
            try:
                drive.close()
            except OstrinError as error:
                errors.append(error)
        if _connected:
            _connected = False
            if not lib.OstDisconnect():
                errors.append(OstrinError(OSTRIN_ERROR_COMMUNICATION, "the service did not answer the goodbye"))
    if errors:
        raise errors[0]


def open_drive(letter, progress=None):
    """Opens drive letter ("C" or "C:"), scanning it when the service holds no image of it, and
    returns a Drive. progress(percent) is called as the scan goes on; returning False asks the service
    to abort it (a scan that ends first still opens the drive). Raises OstrinError, with code 0 when
    the scan was aborted; an exception of progress aborts the open and is raised again."""
    global _in_progress
    letter = str(letter).rstrip(":").upper()
    if len(letter) != 1 or not "A" <= letter <= "Z":
        raise ValueError(f"{letter!r} is no drive letter A..Z")
    raised = []

    def report(percent, value):
        try:
            return 0 if progress(percent) is False else 1
        except BaseException as error:  # it cannot pass through the library
            raised.append(error)
            return 0

    with _Calls() as lib:
        if letter in _drives:
            raise ValueError(f"drive {letter}: is open already")
        if not _connected:
            connect()
        callback = _Progress(report) if progress else _Progress()
        _in_progress = True
        try:
            index = lib.OstOpenDrive(ord(letter), callback, 0)
        finally:
            _in_progress = False
        if index >= 0:
            drive = _drives[letter] = Drive(letter, index)
            if not raised:
                return drive
            drive.close()
        if raised:
            raise raised[0]
        error = _drive_error(lib, letter)
        raise error if error.code else OstrinError(OSTRIN_ERROR_NONE, f"the open of drive {letter}: was aborted")


def scandir(path):
    """An iterator over the entries of the directory path, e.g. "C:\\Windows", as os.scandir:
    subdirectories first, then files. Raises NotFoundError when path names no entry."""
    letter, _ = _split(path)
    with _Calls():
        drive = _drives.get(letter)
        if drive is not None:
            return drive.scandir(path)
        with open_drive(letter) as drive:
            return drive.scandir(path)


def walk(top):
    """(dirpath, dirnames, filenames) for top ("C:\\" for a whole drive) and every directory below it,
    top-down, as os.walk: remove names from dirnames to leave them out."""
    letter, _ = _split(top)
    drive = _drives.get(letter)
    if drive is not None:
        yield from drive.walk(top)
        return
    with open_drive(letter) as drive:
        yield from drive.walk(top)
