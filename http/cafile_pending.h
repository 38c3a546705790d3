// TEMPORARY: the extra trusted CA file of the https client, until the client's own declarations
// (http/connection.h) take over; this header and http/cafile_pending.cpp then go.
#pragma once

// Trusts the certificates of the PEM file at path in addition to the system's roots. Returns 1;
// on failure 0 with the reason in errorText (ERROR_TEXT_SIZE bytes).
int setExtraCaFile(const char* path, char* errorText);
// The same for the file that VEDO_CA_FILE names, when it is set; 1 when it is not.
int applyCaFileFromEnvironment(char* errorText);
