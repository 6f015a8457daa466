/*
 * hello.c: speaks one text into a WAV file with talmerin-orvel.
 *
 *   orvel-hello-c VOICE.onnx [OUT.wav] [TEXT]
 *
 * The voice's configuration is read from VOICE.onnx.json.
 */
#include <orvel.h>

#include <stdio.h>

int main(int argc, char **argv) {
    const char *model = argc > 1 ? argv[1] : NULL;
    const char *wav = argc > 2 ? argv[2] : "hello.wav";
    const char *text = argc > 3 ? argv[3] : "Hello world.";
    int voice;
    int status = 1;

    if (!model) {
        fprintf(stderr, "usage: %s VOICE.onnx [OUT.wav] [TEXT]\n", argv[0]);
        return 2;
    }

    /* NULL: eSpeak NG's own data folder. */
    if (orvel_init(NULL) != 0) {
        fprintf(stderr, "hello: cannot start: %s\n", orvel_get_error());
        return 1;
    }

    /* NULL: the configuration is model + ".json". */
    voice = orvel_load_voice(model, NULL);
    if (voice < 0) {
        fprintf(stderr, "hello: cannot load the voice: %s\n", orvel_get_error());
    } else if (orvel_speak_to_file(voice, text, wav) != 0) {
        fprintf(stderr, "hello: cannot speak: %s\n", orvel_get_error());
    } else {
        printf("hello: wrote %s (%d Hz)\n", wav, orvel_get_voice_sample_rate(voice));
        status = 0;
    }

    /* Unloads every voice as well. */
    orvel_shutdown();
    return status;
}
