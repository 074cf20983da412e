#pragma once

// The protocol-buffer runtime's version check, made once before any message is used.
void initProtobuf();
// Frees the runtime's global state at the end of the run.
void shutdownProtobuf();
