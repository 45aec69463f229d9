#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "main/environment.h"

namespace vorn {

struct SshLinkInputs {
    std::string passwd_file = "/etc/passwd";
    std::string image_root = "/";
    std::optional<std::string> home;
};

// VORN_ENTRY_PASSWD, VORN_ENTRY_ROOTFS (empty counts as unset) and HOME.
SshLinkInputs ssh_link_inputs(const Environment& env);

// Links root-home/.ssh to HOME/.ssh when root home has none of its own; silent.
void make_ssh_link(const SshLinkInputs& inputs);

// The sixth field of the first line with at least seven fields whose third is "0".
std::optional<std::string> root_home_from_passwd(std::string_view content);

// Equal by bytes, or by path components.
bool same_path(std::string_view a, std::string_view b);

}  // namespace vorn
