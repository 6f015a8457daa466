"""Tests of the Python binding against the built library and the generated test voices.

    ORVEL_LIBRARY=build/libtalmerin-orvel.so.1 ORVEL_TEST_VOICES=build/test-voices \
        /usr/bin/python3 -m unittest python/test_talmerin_orvel.py
"""

import array
import os
import subprocess
import sys
import tempfile
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import talmerin_orvel as orvel  # noqa: E402

VOICES = os.environ.get("ORVEL_TEST_VOICES", "")


def voice_path(name):
    return os.path.join(VOICES, name + ".onnx")


def probe_values(samples):
    """The probe voice's header: (id count, sid, noise, length, noise_w)."""
    count, sid, noise, length, noise_w = samples[1:6]
    return count, sid, noise / 1000.0, length / 1000.0, noise_w / 1000.0


@unittest.skipUnless(os.path.isdir(VOICES), "ORVEL_TEST_VOICES is not set")
class Speaking(unittest.TestCase):
    def setUp(self):
        self.engine = orvel.Engine()
        self.addCleanup(self.engine.close)

    def test_buffer_and_file_hold_the_same_audio(self):
        with self.engine.load_voice(voice_path("fixed_1s")) as voice:
            self.assertEqual(voice.sample_rate, 22050)
            self.assertEqual(voice.num_speakers, 1)
            samples = voice.speak("Hello world.")
            self.assertIsInstance(samples, array.array)
            self.assertEqual(samples.typecode, "h")
            self.assertEqual(len(samples), 22050)
            self.assertEqual(max(abs(s) for s in samples), 32767)
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "hello é.wav")
                self.assertIsNone(voice.speak("Hello world.", path))
                with wave.open(path, "rb") as wav:
                    self.assertEqual((wav.getnchannels(), wav.getsampwidth(), wav.getframerate()), (1, 2, 22050))
                    frames = wav.readframes(wav.getnframes())
            from_file = array.array("h")
            from_file.frombytes(frames)
            if sys.byteorder == "big":
                from_file.byteswap()
            self.assertEqual(from_file, samples)

    def test_numpy_result(self):
        try:
            import numpy as np
        except ImportError:
            self.skipTest("numpy is not installed")
        with self.engine.load_voice(voice_path("fixed_1s")) as voice:
            samples = voice.speak(b"Hello.", numpy=True)
            self.assertEqual(samples.dtype, np.int16)
            self.assertEqual(list(samples), list(voice.speak("Hello.")))

    def test_empty_output(self):
        with self.engine.load_voice(voice_path("fixed_empty")) as voice:
            self.assertEqual(len(voice.speak("Hello.")), 0)

    def test_settings_reach_the_model(self):
        # The probe voice echoes the scales and speaker it was run with, so a
        # wrong ctypes type (a double passed as float, say) shows up here.
        with self.engine.load_voice(voice_path("probe")) as voice:
            self.assertEqual(probe_values(voice.speak("a"))[2:], (0.667, 1.0, 0.8))
            voice.set_speed(2.5)
            voice.set_noise(0.25, 1.5)
            self.assertEqual(probe_values(voice.speak("a"))[2:], (0.25, 2.5, 1.5))
            voice.set_speed(0)
            voice.set_noise(0, 0)
            self.assertEqual(probe_values(voice.speak("a"))[2:], (0.667, 1.0, 0.8))
        with self.engine.load_voice(voice_path("probe_multi")) as voice:
            self.assertEqual(voice.num_speakers, 4)
            voice.set_speaker(3)
            self.assertEqual(probe_values(voice.speak("a"))[1], 3)

    def test_utf8_text(self):
        with self.engine.load_voice(voice_path("probe")) as voice:
            # Same phonemes whether given as str or as UTF-8 bytes.
            self.assertEqual(voice.speak("Grüße, naïve café."), voice.speak("Grüße, naïve café.".encode()))
            with self.assertRaises(ValueError):
                voice.speak("a\0b")

    def test_closing_frees_slots(self):
        # More loads than the 8 slots: each voice block must unload its voice.
        for _ in range(12):
            with self.engine.load_voice(voice_path("fixed_half")) as voice:
                self.assertEqual(len(voice.speak("Hi.")), 5)
        voices = [self.engine.load_voice(voice_path("fixed_half")) for _ in range(8)]
        with self.assertRaises(orvel.OrvelError) as caught:
            self.engine.load_voice(voice_path("fixed_half"))
        self.assertIn("Maximum voices", caught.exception.message)
        voices[3].close()
        voices[3].close()
        self.assertFalse(self.engine.load_voice(voice_path("fixed_half")).closed)


@unittest.skipUnless(os.path.isdir(VOICES), "ORVEL_TEST_VOICES is not set")
class Errors(unittest.TestCase):
    def test_start_and_load_failures_carry_the_library_message(self):
        with orvel.Engine() as engine:
            missing = os.path.join(VOICES, "no-such-voice.onnx")
            with self.assertRaises(orvel.OrvelError) as caught:
                engine.load_voice(missing)
            self.assertIn("no-such-voice", str(caught.exception))
            with self.assertRaises(orvel.OrvelError) as caught:
                engine.load_voice(voice_path("probe_bad_config"))
            self.assertTrue(caught.exception.message)
        # A data folder that does not exist fails the start, not swapped for the default.
        with tempfile.TemporaryDirectory() as folder:
            missing = os.path.join(folder, "no-data")
            with self.assertRaises(orvel.OrvelError) as caught:
                orvel.Engine(espeak_data=missing)
            self.assertEqual(caught.exception.message, "espeak-ng data folder not found: " + missing)

    def test_speak_failures(self):
        with orvel.Engine() as engine:
            with engine.load_voice(voice_path("bad_int64_output")) as voice:
                with self.assertRaises(orvel.OrvelError):
                    voice.speak("Hello.")
            with engine.load_voice(voice_path("fixed_1s")) as voice:
                with tempfile.TemporaryDirectory() as folder:
                    with self.assertRaises(orvel.OrvelError):
                        voice.speak("Hello.", os.path.join(folder, "missing", "x.wav"))

    def test_one_engine_at_a_time(self):
        engine = orvel.Engine()
        try:
            with self.assertRaises(orvel.OrvelError) as caught:
                orvel.Engine()
            self.assertIn("Already initialized", caught.exception.message)
        finally:
            engine.close()
        # Shut down, the library starts again.
        with orvel.Engine() as engine:
            self.assertFalse(engine.closed)
        self.assertTrue(engine.closed)

    def test_bad_arguments_raise_before_reaching_the_library(self):
        with orvel.Engine() as engine:
            with self.assertRaises(ValueError):
                engine.load_voice(voice_path("probe") + "\0.ignored")
            with self.assertRaises(ValueError):
                engine.load_voice(voice_path("probe"), voice_path("probe") + ".json\0")
            voice = engine.load_voice(voice_path("probe"))
            for text, error in [("one\0two", ValueError), (b"one\0two", ValueError), (5, TypeError),
                                (None, TypeError), (["Hello."], TypeError), (3.5, TypeError),
                                (b"caf\xe9", TypeError), (bytearray(b"\xc3"), TypeError),
                                (b"\xed\xa0\x80", TypeError)]:
                with self.subTest(text=text):
                    with self.assertRaises(error):
                        voice.speak(text)
            self.assertEqual(voice.speak(bytearray(b"Hello.")), voice.speak("Hello."))
            with tempfile.TemporaryDirectory() as folder:
                with self.assertRaises(ValueError):
                    voice.speak("Hello.", os.path.join(folder, "a.wav\0b"))
                self.assertEqual(os.listdir(folder), [])
            # Speakers: the probe has one, probe_multi four.
            with self.assertRaises(ValueError):
                voice.set_speaker(1)
            multi = engine.load_voice(voice_path("probe_multi"))
            multi.set_speaker(3)
            self.assertEqual(probe_values(multi.speak("Hi."))[1], 3)
            for speaker, error in [(4, ValueError), (1000, ValueError), (1.5, TypeError), ("2", TypeError)]:
                with self.subTest(speaker=speaker):
                    with self.assertRaises(error):
                        multi.set_speaker(speaker)
            self.assertEqual(probe_values(multi.speak("Hi."))[1], 3, "a refused speaker changed the voice")
        with self.assertRaises(ValueError):
            orvel.Engine(espeak_data="/usr\0/share")
        with orvel.Engine():
            pass

    def test_dropped_objects_are_closed_when_collected(self):
        # An engine nobody closed: the next one still starts.
        orvel.Engine()
        engine = orvel.Engine()
        # Voices dropped without close() give their slots back (8 at most).
        for _ in range(20):
            engine.load_voice(voice_path("fixed_half"))
        voice = engine.load_voice(voice_path("fixed_half"))
        expected = voice.speak("Hi.")
        del engine
        self.assertEqual(voice.speak("Hi."), expected, "a voice must keep its engine open")
        del voice
        with orvel.Engine() as engine:
            self.assertFalse(engine.closed)

    def test_closed_objects_refuse_calls(self):
        engine = orvel.Engine()
        voice = engine.load_voice(voice_path("fixed_half"))
        engine.close()
        engine.close()
        self.assertTrue(voice.closed)
        with self.assertRaises(orvel.OrvelError):
            voice.speak("Hello.")
        with self.assertRaises(orvel.OrvelError):
            voice.set_speed(1.0)
        with self.assertRaises(orvel.OrvelError):
            engine.load_voice(voice_path("fixed_half"))


class Loading(unittest.TestCase):
    def test_version(self):
        self.assertRegex(orvel.version(), r"^\d+\.\d+\.\d+$")

    def test_explicit_path_wins_and_bad_paths_raise(self):
        with self.assertRaises(orvel.OrvelError) as caught:
            orvel.load_library("/nonexistent/libtalmerin-orvel.so.1")
        self.assertIn("/nonexistent/libtalmerin-orvel.so.1", str(caught.exception))

    @unittest.skipUnless(os.environ.get(orvel.ENV_LIBRARY), "ORVEL_LIBRARY is not set")
    def test_environment_and_default_name(self):
        # A fresh interpreter: the environment variable, then the default name
        # through the system's search path.
        library = os.environ[orvel.ENV_LIBRARY]
        code = "import talmerin_orvel as o; print(o.version())"
        here = os.path.dirname(os.path.abspath(__file__))
        env = dict(os.environ, PYTHONPATH=here)
        by_env = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        self.assertEqual(by_env.returncode, 0, by_env.stderr)
        del env[orvel.ENV_LIBRARY]
        env["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(library))
        by_name = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        self.assertEqual(by_name.returncode, 0, by_name.stderr)
        self.assertEqual(by_name.stdout, by_env.stdout)


if __name__ == "__main__":
    unittest.main()
