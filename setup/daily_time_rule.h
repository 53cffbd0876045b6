// The daily start time typed into the form. The check is deliberately the
// historic one: a wide scanf with "%2u:%2u%lc" plus a length and colon test.
// It lets a leading blank or sign through ("+2:00", " 2:00"); the install
// script refuses those by its own stricter pattern.
#pragma once

// Reads `text` exactly as swscanf(text, L"%2u:%2u%lc", hour, minute, extra)
// would and returns what it would return: the number of items assigned, or -1
// when the input ended before the first conversion.
int scan_hour_minute(const char16_t* text, unsigned* hour, unsigned* minute, char16_t* extra);

// True when the time field holds an acceptable "HH:MM".
bool is_valid_daily_time(const char16_t* text);
