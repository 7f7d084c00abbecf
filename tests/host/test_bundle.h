#pragma once
// Bundles for the packer's tests: small PE files made here, and a payload
// laid out like one made from the embeddable Python distribution.
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

struct PeShape {
    uint16_t machine = 0x8664;  // x86-64; 0x14C is x86
    uint16_t subsystem = 2;     // GUI; 3 is the console
    std::vector<std::string> imports;
    bool dll = false;
};

// Headers, one section holding the import table, nothing else.
std::string MakePe(const PeShape& shape);

// Path -> content of a payload whose interpreter can start.
std::map<std::string, std::string> GoodBundle();
