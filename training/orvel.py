"""The built inference library through ctypes, for tests, evaluation and the
benchmark: the voice is judged the way a host program runs it."""

import ctypes
import glob
import os

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB_FILE = "libtalmerin-orvel.so.1"


def find_library():
    """$ORVEL_LIB, else the newest build*/ library of the work tree, else None."""
    env = os.environ.get("ORVEL_LIB")
    if env:
        return env
    found = glob.glob(os.path.join(ROOT, "build*", LIB_FILE))
    return max(found, key=os.path.getmtime) if found else None


class Orvel:
    def __init__(self, path=None):
        path = path or find_library()
        if not path:
            raise FileNotFoundError("no built library (set ORVEL_LIB)")
        self.path = path
        lib = ctypes.CDLL(path)
        lib.orvel_init.argtypes = [ctypes.c_char_p]
        lib.orvel_get_error.restype = ctypes.c_char_p
        lib.orvel_load_voice.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.orvel_speak_to_buffer.argtypes = [ctypes.c_int, ctypes.c_char_p,
                                              ctypes.POINTER(ctypes.POINTER(ctypes.c_int16)),
                                              ctypes.POINTER(ctypes.c_int32)]
        lib.orvel_free_audio.argtypes = [ctypes.POINTER(ctypes.c_int16)]
        lib.orvel_set_speed.argtypes = [ctypes.c_int, ctypes.c_float]
        lib.orvel_set_noise.argtypes = [ctypes.c_int, ctypes.c_float, ctypes.c_float]
        self.lib = lib
        if lib.orvel_init(None) != 0:
            raise RuntimeError("orvel_init: %s" % self.error())

    def error(self):
        e = self.lib.orvel_get_error()
        return e.decode() if e else ""

    def load(self, model, config=None):
        vid = self.lib.orvel_load_voice(model.encode(), config.encode() if config else None)
        if vid < 0:
            raise RuntimeError("orvel_load_voice: %s" % self.error())
        return vid

    def unload(self, vid):
        self.lib.orvel_unload_voice(vid)

    def speak(self, vid, text):
        samples = ctypes.POINTER(ctypes.c_int16)()
        count = ctypes.c_int32()
        if self.lib.orvel_speak_to_buffer(vid, text.encode("utf-8"), ctypes.byref(samples),
                                          ctypes.byref(count)) != 0:
            raise RuntimeError("orvel_speak_to_buffer: %s" % self.error())
        try:
            return np.ctypeslib.as_array(samples, shape=(count.value,)).copy() \
                if count.value else np.zeros(0, np.int16)
        finally:
            self.lib.orvel_free_audio(samples)

    def shutdown(self):
        self.lib.orvel_shutdown()


def decode_probe(samples):
    """The probe voice's echo: (count, sid, scales in thousandths, ids)."""
    s = [int(v) for v in samples]
    if len(s) < 6 or s[0] != 32767:
        raise ValueError("not a probe output")
    return s[1], s[2], s[3:6], s[6:]


_shared = None


def shared():
    """One initialised library per process, never shut down: eSpeak NG 1.51
    hangs when it is initialised again after a shutdown while another handle
    (a test's own eSpeak NG binding) keeps it loaded."""
    global _shared
    if _shared is None:
        _shared = Orvel()
    return _shared
