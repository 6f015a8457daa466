/* Teacher audio and segment times from one of Flite's built-in voices.
 *
 *   flite_teacher VOICE AUDIO_OUT [STRETCH] < sentences (one per line)
 *
 * VOICE is slt, rms, awb or kal16. The audio of every sentence is appended to
 * AUDIO_OUT as 16-bit native-endian samples; standard output gets one line per
 * sentence: "<samples> <rate>" followed by a tab-separated "name:end:word" for
 * every segment ("word" is the index of the word the segment belongs to, -1 for
 * a pause). The times are Flite's own, so no aligner has to guess them.
 * STRETCH (default 1) scales the teacher's durations: the teacher at another
 * speaking rate is the reference a voice's distance to it is judged against.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <flite/flite.h>

cst_voice *register_cmu_us_slt(const char *voxdir);
cst_voice *register_cmu_us_rms(const char *voxdir);
cst_voice *register_cmu_us_awb(const char *voxdir);
cst_voice *register_cmu_us_kal16(const char *voxdir);

static cst_voice *pick(const char *name)
{
    if (strcmp(name, "slt") == 0) return register_cmu_us_slt(NULL);
    if (strcmp(name, "rms") == 0) return register_cmu_us_rms(NULL);
    if (strcmp(name, "awb") == 0) return register_cmu_us_awb(NULL);
    if (strcmp(name, "kal16") == 0) return register_cmu_us_kal16(NULL);
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: flite_teacher slt|rms|awb|kal16 AUDIO_OUT [STRETCH] < sentences\n");
        return 2;
    }
    flite_init();
    cst_voice *voice = pick(argv[1]);
    if (!voice) {
        fprintf(stderr, "flite_teacher: unknown voice '%s'\n", argv[1]);
        return 2;
    }
    if (argc == 4) {
        float stretch = strtof(argv[3], NULL);
        if (!(stretch > 0.2f && stretch < 5.0f)) {
            fprintf(stderr, "flite_teacher: stretch '%s' is not a number between 0.2 and 5\n", argv[3]);
            return 2;
        }
        feat_set_float(voice->features, "duration_stretch", stretch);
    }
    FILE *audio = fopen(argv[2], "wb");
    if (!audio) {
        fprintf(stderr, "flite_teacher: cannot write '%s'\n", argv[2]);
        return 1;
    }
    char line[8192];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = '\0';
        cst_utterance *u = flite_synth_text(line, voice);
        cst_wave *w = u ? utt_wave(u) : NULL;
        if (!w) {
            printf("0 0\n");
            if (u) delete_utterance(u);
            continue;
        }
        /* Number the words so each segment can say which word it belongs to. */
        int k = 0;
        for (cst_item *it = relation_head(utt_relation(u, "Word")); it; it = item_next(it))
            item_set_int(it, "orvel_word", k++);
        fwrite(w->samples, sizeof(short), (size_t)w->num_samples, audio);
        printf("%d %d", w->num_samples, w->sample_rate);
        for (cst_item *s = relation_head(utt_relation(u, "Segment")); s; s = item_next(s)) {
            const cst_item *word = path_to_item(s, "R:SylStructure.parent.parent");
            int index = word ? item_feat_int(word, "orvel_word") : -1;
            printf("\t%s:%.5f:%d", item_feat_string(s, "name"), item_feat_float(s, "end"), index);
        }
        printf("\n");
        delete_utterance(u);
    }
    fclose(audio);
    return 0;
}
