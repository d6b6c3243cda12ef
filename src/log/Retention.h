// Removal of old log files: the files of today and the six days before remain.
#pragma once

#include "base/CalendarDate.h"

// Reads the date from a bare log file name "ErrorLogYYYYMMDD.log". False when the
// eight characters after "ErrorLog" are not a valid date.
bool ParseLogFileDate(const char* name, LogDate* date);

// Removes every "ErrorLog*.log" in folder `folder` whose date lies more than six days
// from `today` (either way). Names that carry no date are left alone.
void DeleteOldLogsIn(const char* folder, const LogDate& today);

// DeleteOldLogsIn on the folder the log writer uses ("Log\" beside the library), for today.
void DeleteOldLogs();
