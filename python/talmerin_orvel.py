"""Python binding for talmerin-orvel, text-to-speech with neural voice models.

One module over ctypes and the library's C API; only the standard library is
needed (numpy is used when asked for)::

    import talmerin_orvel

    with talmerin_orvel.Engine() as engine:
        with engine.load_voice("voice.onnx") as voice:
            samples = voice.speak("Hello world.")      # array('h'), 16-bit mono
            voice.speak("Hello again.", "hello.wav")   # writes a WAV file
            print(len(samples) / voice.sample_rate, "seconds")

The shared library is found from, in order: the ``library`` argument, the
environment variable ``ORVEL_LIBRARY``, then the system's search for
``libtalmerin-orvel.so.1``. Failures raise :class:`OrvelError` with the
library's own message.

The library keeps process-wide state: one :class:`Engine` may be open at a
time, and calls from several threads are serialised by a lock here. An engine
or voice dropped without being closed is closed when it is collected, so the
next :class:`Engine` can start.
"""

import array
import ctypes
import os
import sys
import operator
import threading
import weakref

__all__ = ["OrvelError", "Engine", "Voice", "load_library", "version"]

ENV_LIBRARY = "ORVEL_LIBRARY"

if sys.platform == "win32":
    DEFAULT_LIBRARY = "libtalmerin-orvel.dll"
elif sys.platform == "darwin":
    DEFAULT_LIBRARY = "libtalmerin-orvel.1.dylib"
else:
    DEFAULT_LIBRARY = "libtalmerin-orvel.so.1"

_lock = threading.RLock()
_libraries = {}


class OrvelError(RuntimeError):
    """A call into the library failed; ``message`` is the library's text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _declare(lib):
    i16p = ctypes.POINTER(ctypes.c_int16)
    signatures = {
        "orvel_version": (ctypes.c_char_p, []),
        "orvel_get_error": (ctypes.c_char_p, []),
        "orvel_init": (ctypes.c_int, [ctypes.c_char_p]),
        "orvel_shutdown": (None, []),
        "orvel_load_voice": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
        "orvel_unload_voice": (None, [ctypes.c_int]),
        "orvel_get_voice_sample_rate": (ctypes.c_int, [ctypes.c_int]),
        "orvel_get_num_speakers": (ctypes.c_int, [ctypes.c_int]),
        "orvel_set_speed": (None, [ctypes.c_int, ctypes.c_float]),
        "orvel_set_speaker": (None, [ctypes.c_int, ctypes.c_int]),
        "orvel_set_noise": (None, [ctypes.c_int, ctypes.c_float, ctypes.c_float]),
        "orvel_speak_to_buffer": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p,
                                                 ctypes.POINTER(i16p), ctypes.POINTER(ctypes.c_int32)]),
        "orvel_speak_to_file": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p]),
        "orvel_free_audio": (None, [i16p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def load_library(library=None):
    """Loads (once per path) and returns the shared library as a ctypes.CDLL."""
    path = library or os.environ.get(ENV_LIBRARY) or DEFAULT_LIBRARY
    path = os.fspath(path)
    with _lock:
        lib = _libraries.get(path)
        if lib is None:
            try:
                lib = _declare(ctypes.CDLL(path))
            except (OSError, AttributeError) as error:
                raise OrvelError("cannot load the talmerin-orvel library %r (set %s or pass library=): %s"
                                 % (path, ENV_LIBRARY, error)) from error
            _libraries[path] = lib
        return lib


def version(library=None):
    """The library's version string, e.g. "1.0.0"."""
    return load_library(library).orvel_version().decode()


def _path_arg(path):
    if path is None:
        return None
    data = os.fsencode(path)
    # C would read the path only up to the NUL: another file than the one named.
    if b"\0" in data:
        raise ValueError("path contains a NUL character: %r" % (path,))
    return data


def _text_arg(text):
    if isinstance(text, str):
        data = text.encode("utf-8")
    elif isinstance(text, (bytes, bytearray)):
        data = bytes(text)
        # The library would speak around the bad bytes without a word.
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise TypeError("text must be str or UTF-8 bytes: %s" % error) from None
    else:
        raise TypeError("text must be str (or UTF-8 bytes), not %s" % type(text).__name__)
    # The library would stop reading at the NUL and drop the rest silently.
    if b"\0" in data:
        raise ValueError("text contains a NUL character")
    return data


def _shutdown(lib, state):
    """Shuts the library down once; the engine's close() and its finalizer."""
    with _lock:
        if state["open"]:
            state["open"] = False
            lib.orvel_shutdown()


def _unload(lib, voice_id, engine_state):
    """Unloads a voice dropped without close(), unless its engine is closed."""
    with _lock:
        if engine_state["open"]:
            lib.orvel_unload_voice(voice_id)


class Engine:
    """The initialised library. Close it (or leave its ``with`` block) to shut
    it down, which also unloads its voices.

    ``espeak_data`` is eSpeak NG's data folder, or None for eSpeak NG's default
    (a path that is not a folder raises :class:`OrvelError`); ``library`` the
    path of the shared library (see the module's help).
    """

    def __init__(self, espeak_data=None, library=None):
        self._lib = load_library(library)
        # Voices keep their engine alive; the engine only tracks them.
        self._voices = weakref.WeakSet()
        self._state = {"open": False}
        data = _path_arg(espeak_data)
        with _lock:
            if self._lib.orvel_init(data) != 0:
                raise self._error("cannot start")
            self._state["open"] = True
        self._finalizer = weakref.finalize(self, _shutdown, self._lib, self._state)

    def _error(self, fallback):
        message = self._lib.orvel_get_error()
        return OrvelError(message.decode("utf-8", "replace") if message else fallback)

    @property
    def closed(self):
        return not self._state["open"]

    @property
    def version(self):
        return self._lib.orvel_version().decode()

    def load_voice(self, model_path, config_path=None):
        """Loads a voice: ``model_path`` is the .onnx file, ``config_path`` its
        JSON configuration (default: model_path + ".json")."""
        self._check_open()
        model, config = _path_arg(model_path), _path_arg(config_path)
        with _lock:
            voice_id = self._lib.orvel_load_voice(model, config)
            if voice_id < 0:
                raise self._error("cannot load %s" % model_path)
        voice = Voice(self, voice_id, os.fspath(model_path))
        self._voices.add(voice)
        return voice

    def close(self):
        """Unloads every voice and shuts the library down. Safe to call twice."""
        if not self._state["open"]:
            return
        for voice in list(self._voices):
            voice._forget()
        self._voices.clear()
        self._finalizer()

    def _check_open(self):
        if not self._state["open"]:
            raise OrvelError("the engine is closed")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<talmerin_orvel.Engine %s>" % ("closed" if self.closed else "open")


class Voice:
    """A loaded voice, made by :meth:`Engine.load_voice`. Close it (or leave
    its ``with`` block) to free its slot; the engine closes it otherwise."""

    def __init__(self, engine, voice_id, model_path):
        self._engine = engine
        self._lib = engine._lib
        self._id = voice_id
        self.model_path = model_path
        self._finalizer = weakref.finalize(self, _unload, self._lib, voice_id, engine._state)

    @property
    def id(self):
        return self._id

    @property
    def closed(self):
        return self._id is None

    @property
    def sample_rate(self):
        """Sample rate in Hz."""
        return self._lib.orvel_get_voice_sample_rate(self._checked_id())

    @property
    def num_speakers(self):
        return self._lib.orvel_get_num_speakers(self._checked_id())

    def set_speed(self, length_scale):
        """Length scale for later requests (larger is slower); 0 restores the voice's own.

        Any finite value reaches the model, as in the C API: a request's audio,
        time and memory grow with it (10000 took 6 GB for two words), so bound
        values that come from users (orvel-say takes 0.05 to 20)."""
        with _lock:
            self._lib.orvel_set_speed(self._checked_id(), float(length_scale))

    def set_speaker(self, speaker_id):
        """Speaker of a multi-speaker voice, 0 to num_speakers - 1; a negative
        id removes the speaker input. Raises ValueError for a speaker the voice
        does not have."""
        speaker_id = operator.index(speaker_id)
        with _lock:
            voice_id = self._checked_id()
            speakers = self._lib.orvel_get_num_speakers(voice_id)
            if speaker_id >= max(speakers, 1):
                raise ValueError("speaker %d does not exist: the voice has %d speaker%s"
                                 % (speaker_id, speakers, "" if speakers == 1 else "s"))
            self._lib.orvel_set_speaker(voice_id, speaker_id)

    def set_noise(self, noise_scale, noise_w):
        """Noise scale and width for later requests; 0 restores the voice's own.

        The durations grow exponentially with the noise width (50 took 1.6 GB
        for two sentences): bound it for users (orvel-say takes up to 10)."""
        with _lock:
            self._lib.orvel_set_noise(self._checked_id(), float(noise_scale), float(noise_w))

    def speak(self, text, path=None, numpy=False):
        """Speaks UTF-8 text (str or bytes).

        With ``path``, writes a 16-bit mono WAV file there and returns None.
        Otherwise returns the samples: an ``array.array('h')``, or with
        ``numpy=True`` a numpy int16 array.
        """
        data = _text_arg(text)
        wav_path = _path_arg(path)
        with _lock:
            voice_id = self._checked_id()
            if path is not None:
                if self._lib.orvel_speak_to_file(voice_id, data, wav_path) != 0:
                    raise self._engine._error("cannot speak into %s" % os.fspath(path))
                return None
            samples = ctypes.POINTER(ctypes.c_int16)()
            count = ctypes.c_int32(0)
            if self._lib.orvel_speak_to_buffer(voice_id, data, ctypes.byref(samples), ctypes.byref(count)) != 0:
                raise self._engine._error("cannot speak")
            try:
                raw = ctypes.string_at(samples, count.value * 2) if count.value > 0 else b""
            finally:
                self._lib.orvel_free_audio(samples)
        if numpy:
            import numpy as np
            return np.frombuffer(raw, dtype=np.int16).copy()
        result = array.array("h")
        result.frombytes(raw)
        return result

    def close(self):
        """Unloads the voice. Safe to call twice."""
        if self._id is None:
            return
        self._finalizer()
        self._engine._voices.discard(self)
        self._id = None

    def _forget(self):
        self._finalizer.detach()
        self._id = None

    def _checked_id(self):
        if self._id is None:
            raise OrvelError("the voice is closed")
        return self._id

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "id %d" % self._id
        return "<talmerin_orvel.Voice %s (%s)>" % (self.model_path, state)
