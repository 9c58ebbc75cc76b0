// The controller's own Remote requests for its programs and its state: $Start, $Stop,
// $GetStatus; and one SPEL+ statement passed through $Execute for what the library has no method
// for.
#pragma once

#include <cstdint>
#include <string>

#include "epson/command_channel.hpp"
#include "epson/session_core.hpp"

namespace epson::ops {

/// `$Start,function` (0..63): starts the controller's program function.
void startProgram(SessionCore& session, std::int64_t function);
/// `$Stop`: stops every task of the controller's programs.
void stopPrograms(SessionCore& session);
/// `$GetStatus`; delivered at once past a running motion, like a pause.
RemoteStatus getRemoteStatus(SessionCore& session);
/// One statement through `$Execute` (5000 ms); its Print output, "" for none. Motion statements
/// are refused: they need go() or move(), which hold the connection as a motion.
std::string executeStatement(SessionCore& session, const std::string& statement);

}  // namespace epson::ops
