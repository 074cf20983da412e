#pragma once

// The protocol-buffer runtime's version check, made once before any message is used. Also sends the runtime's
// own diagnostics ("missing required fields" for an answer that is not a Versions message, say) into the
// updater's log instead of standard error.
void initProtobuf();
// Frees the runtime's global state at the end of the run.
void shutdownProtobuf();
