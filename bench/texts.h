// The three request texts the benchmarks speak: a short one, 20 words and 200 words.
#ifndef ORVEL_BENCH_TEXTS_H
#define ORVEL_BENCH_TEXTS_H

struct BenchText {
    const char *key;
    int words;
    const char *text;
};

constexpr BenchText kTexts[] = {
    {"short", 2, "Hello world."},
    {"20w", 20,
     "The quick brown fox jumps over the lazy dog while the early sun rises slowly above the quiet green "
     "hills."},
    {"200w", 200,
     // Ten sentences of twenty words each.
     "The old lighthouse keeper climbed the narrow stairs every evening to light the lamp that guided ships "
     "past the rocks. "
     "Her small garden behind the cottage grew tomatoes, beans and sunflowers that leaned toward the sea "
     "when the wind blew. "
     "On Sundays the children from the village came to hear stories about storms, wrecks and sailors who "
     "never came home. "
     "She told them that the sea was patient and kind, but it never forgave anyone who forgot to "
     "respect it. "
     "One winter night a fishing boat lost its engine near the reef, and the waves pushed it toward the "
     "stones. "
     "The keeper saw the small red light blinking in the darkness and rang the bell until the harbour "
     "woke up. "
     "Three rowing boats went out into the black water, and after two long hours they brought every sailor "
     "back safely. "
     "In the morning the village gathered at the harbour with bread, hot soup and dry blankets for "
     "the tired crew. "
     "The captain thanked the keeper with tears in his eyes and promised to paint her lighthouse white "
     "again next spring. "
     "He kept his word, and for years the tower shone so brightly that travellers could see it from "
     "far away."},
};

#endif
