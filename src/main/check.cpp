#include "main/check.h"

#include "main/message.h"

namespace vorn {

std::string_view effective_path(const PathValue& path_value) {
    return path_value ? std::string_view(*path_value) : kDefaultPath;
}
FileClass classify_path(const std::string&) { return FileClass::absent; }
Resolution resolve_command(std::string_view, const PathValue&) { return {}; }
void exit_unresolvable(const Resolution&, std::string_view, const PathValue&) { end_with_launch_message(70, "not built yet"); }
std::string no_execute_bit_message(std::string_view) { return "not built yet"; }
std::optional<Fault> inspect_program(const std::string&, const PathValue&) { return std::nullopt; }
std::string fault_message(std::string_view, const Fault&) { return "not built yet"; }
void exit_start_failure(const std::string&, int, const PathValue&) { end_with_launch_message(70, "not built yet"); }
void check_command(std::string_view, const PathValue&) { end_with_launch_message(70, "not built yet"); }

}  // namespace vorn
