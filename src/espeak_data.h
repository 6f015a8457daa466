// eSpeak NG's data folder, checked before eSpeak NG reads it.
#ifndef ORVEL_ESPEAK_DATA_H
#define ORVEL_ESPEAK_DATA_H

// Checks the phoneme files and dictionaries of the data folder eSpeak NG will
// read for this data path (null: its usual search). 0 when they look usable,
// or when the folder is eSpeak NG's built-in default, which is not looked at;
// -1 after one diagnostic line naming the first damaged file.
int espeak_data_check(const char *espeak_data_path);

// Whether eSpeak NG would take this data path: a folder (the data folder or
// the one that holds espeak-ng-data). For anything else eSpeak NG 1.51
// silently reads its own default data.
bool espeak_data_path_exists(const char *espeak_data_path);

#endif
