#pragma once
#define SLUICE_API __attribute__((visibility("default")))
