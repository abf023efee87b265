#pragma once
#include <filesystem>

// Renders a short animation into every video format and prints a table.
void videoTour(std::filesystem::path const& dir);
