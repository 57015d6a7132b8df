#pragma once

// The model's virtual time since start, in seconds.
double modelNow();

// Appends one line, stamped with the virtual time, to the file named by CB_MODEL_LOG: the
// calls the backend made and the events the model delivered, for the end-to-end rows.
[[gnu::format(printf, 1, 2)]] void modelLog(const char* format, ...);
