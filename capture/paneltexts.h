#pragma once

// The texts a camera panel shows: the worker's in the preview label, the window's in the status
// label. One place, so that the window, the worker and the tests agree on every letter.

// Preview label.
inline const char* const kTextConnecting = "CONNECTING TO SITE...";
inline const char* const kTextConnected = "CONNECTED";
inline const char* const kTextCannotConnect = "CANNOT CONNECT TO CAMERA";
inline const char* const kTextCannotWrite = "CANNOT WRITE RECORDING";

// Status label.
inline const char* const kTextRecording = "* RECORDING *";
inline const char* const kTextStopping = "* STOPPING... *";
