/*
 * talmerin-orvel-inference: text-to-speech with neural voice models.
 *
 * A host calls orvel_init() once, loads up to 8 voices (an ONNX model plus its
 * JSON configuration), speaks any number of texts with them, and calls
 * orvel_shutdown() at the end. Text is UTF-8; audio is 16-bit signed mono PCM
 * at the voice's sample rate, peak-normalised.
 *
 * Threads: the library keeps process-wide state (the voices, eSpeak NG) and
 * serialises its calls with one internal lock, so any thread may call it; a
 * request waits while another one runs, and a setter takes effect from the
 * next request. The error message is per thread: orvel_get_error() gives the
 * message of the calling thread's own last failing call.
 *
 * Errors: functions return -1 on failure (or a documented value). The failing
 * call records one message, readable with orvel_get_error() on the same
 * thread, and echoes it on standard error as "[orvel] ERROR: <message>". orvel_init, orvel_load_voice,
 * orvel_speak_to_buffer and orvel_speak_to_file clear the message on entry.
 * Every other function leaves it untouched: orvel_version, orvel_get_error,
 * orvel_shutdown, orvel_unload_voice, the getters and the setters.
 *
 * Progress lines go to standard error with the prefix "[orvel] ".
 *
 * What a voice receives: eSpeak NG's IPA for the text, clause by clause. Every
 * clause after the first is preceded by one space (U+0020), and a clause that
 * ended at punctuation is followed by it as one of the six code points
 * , . ? ! ; : (U+002C U+002E U+003F U+0021 U+003B U+003A; the ellipsis and the
 * fullwidth and ideographic forms are given as these). Each code point becomes
 * the ids of its phoneme_id_map row, framed by "^" and "$" with a "_" after
 * each; a code point without a row is skipped, so a voice that maps none of
 * the six punctuation marks simply does not see them.
 */
#ifndef ORVEL_H
#define ORVEL_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ORVEL_BUILD)
#    define ORVEL_API __declspec(dllexport)
#  else
#    define ORVEL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define ORVEL_API __attribute__((visibility("default")))
#else
#  define ORVEL_API
#endif

/* What one run of the phonemizer and of the model takes at most: a text of
 * any length is spoken in full, in runs. Up to half of ORVEL_MAX_TEXT_BYTES
 * bytes of text go to eSpeak NG at a time, cut after a sentence where the
 * text has one in the second half of that window, else after a clause, else
 * at a blank, and never inside a UTF-8 character; a word eSpeak NG would cut
 * short (it keeps about 200 phonemes of a word: a long spelled-out word or
 * number) is broken with spaces, which the other half leaves room for. The clauses are then gathered into runs of
 * the model of at most ORVEL_MAX_PHONEMES ids each: the start marker and its
 * pad, each phoneme's ids and a pad (eSpeak NG's code points, the clause
 * spaces and punctuation included), and the end marker. With one id a
 * phoneme, as in the usual maps, that is (4096 - 3) / 2 = 2046 phonemes,
 * about 1,600 bytes of English prose; a clause too long for a run alone is
 * cut at a space. Each run is peak-normalised on its own, as the tools
 * normalise sentences they join, and the audio is joined in order. */
#define ORVEL_MAX_TEXT_BYTES 8191
#define ORVEL_MAX_PHONEMES 4096

#ifdef __cplusplus
extern "C" {
#endif

/* The library version, "MAJOR.MINOR.PATCH" (e.g. "1.0.0"), the same as the
 * packages'. A static string: do not free it. Any state. */
ORVEL_API const char *orvel_version(void);

/*
 * The last recorded error message, or NULL when none is recorded.
 * The text is owned by the library and stays valid until the next call that
 * clears or records an error (see the list above).
 */
ORVEL_API const char *orvel_get_error(void);

/*
 * Initialises eSpeak NG and ONNX Runtime. espeak_data_path is eSpeak NG's data
 * directory (the "espeak-ng-data" folder or the folder that holds it), or NULL
 * for eSpeak NG's default. The path is only read during the call. A path that
 * is not a folder (or is empty) fails with "espeak-ng data folder not found:
 * <path>", where eSpeak NG itself would read its default data instead. The
 * data folder eSpeak NG will read (unless it is its built-in default) is
 * checked first: a missing or damaged phontab, phonindex, phondata,
 * intonations or dictionary header fails with a line naming the file, as
 * eSpeak NG 1.51 would crash on some of them. Damage inside phondata,
 * phonindex programs or dictionary rules cannot be seen without eSpeak NG.
 * Returns 0, or -1 (for example "Already initialized" when called twice).
 */
ORVEL_API int orvel_init(const char *espeak_data_path);

/*
 * Unloads every voice and releases everything orvel_init created. Always
 * succeeds, also when not initialised; orvel_init may be called again after it.
 * Except in a host that holds its own libespeak-ng (linked, or loaded by
 * another binding): eSpeak NG 1.51 then stays loaded, and the shutdown after a
 * second orvel_init deadlocks inside it. Such a host initialises once.
 */
ORVEL_API void orvel_shutdown(void);

/*
 * Loads a voice into the lowest free of the 8 slots. model_path is the .onnx
 * file; config_path the JSON configuration, or NULL for model_path + ".json".
 * Returns the voice id (0-7), or -1 with a recorded message.
 */
ORVEL_API int orvel_load_voice(const char *model_path, const char *config_path);

/* Frees the voice's slot. Invalid ids and free slots are ignored silently. */
ORVEL_API void orvel_unload_voice(int voice_id);

/* The voice's sample rate in Hz, or -1 for an invalid id (nothing recorded). */
ORVEL_API int orvel_get_voice_sample_rate(int voice_id);

/* The voice's number of speakers (at least 1), or -1 for an invalid id. */
ORVEL_API int orvel_get_num_speakers(int voice_id);

/*
 * Length scale for the voice's later requests (larger is slower); 0 or less
 * returns to the configured value. Invalid ids and non-finite values (NaN,
 * infinities) are ignored. Any other value is given to the model as it is:
 * the audio, the time and the memory of a request grow with it (10000 made
 * "Hello world." take 80 s and 6.1 GB; 1e30 fails the request inside ONNX
 * Runtime), and a tiny one leaves a few samples. Hosts that take the value
 * from users bound it; orvel-say takes 0.05 to 20.
 */
ORVEL_API void orvel_set_speed(int voice_id, float length_scale);

/*
 * Speaker for a multi-speaker voice; a negative id removes the speaker input.
 * Only used when the voice has 2 or more speakers. Invalid voice ids are ignored.
 */
ORVEL_API void orvel_set_speaker(int voice_id, int speaker_id);

/*
 * Noise scale and noise width for the voice's later requests; 0 or less returns
 * either to its configured value. Invalid ids are ignored, and so is a
 * non-finite value (NaN, infinities), the other one still being taken. The
 * noise width varies the durations, which grow exponentially with it (at 50
 * two sentences took 1.6 GB and minutes, at 1000 ONNX Runtime fails the
 * request): hosts that take it from users bound it; orvel-say takes up to 10.
 */
ORVEL_API void orvel_set_noise(int voice_id, float noise_scale, float noise_w);

/*
 * Speaks UTF-8 text with a loaded voice into a new buffer.
 * On success returns 0, *out_samples (OUT) is a library-allocated buffer of
 * *out_count (OUT) samples (possibly 0, the pointer is then still non-NULL);
 * release it with orvel_free_audio. On failure returns -1; the out-parameters
 * are left untouched when an argument is rejected, and set to NULL and 0 when
 * synthesis itself fails (also when the model's output has no finite sample:
 * infinities among finite samples clip, NaN gives 0). The whole text is spoken,
 * in runs of the model when it is long (see ORVEL_MAX_TEXT_BYTES); a failing run
 * fails the call, and a text none of whose runs has a phoneme fails with
 * "Phonemization failed for text". More than INT32_MAX samples fail the call.
 */
ORVEL_API int orvel_speak_to_buffer(int voice_id, const char *text,
                                    int16_t **out_samples, int32_t *out_count);

/*
 * Speaks UTF-8 text with a loaded voice into a 16-bit mono WAV file at
 * wav_path (created or replaced). Returns 0, or -1; a file that could not be
 * written completely is removed.
 */
ORVEL_API int orvel_speak_to_file(int voice_id, const char *text, const char *wav_path);

/* Frees a buffer from orvel_speak_to_buffer. NULL is a harmless no-op. */
ORVEL_API void orvel_free_audio(int16_t *samples);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_H */
