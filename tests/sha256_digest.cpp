// Prints the SHA-256 of each line of standard input, given in hex, as the
// extension computes it: test_native_contract.py compares them with hashlib's.
#include <cstdio>
#include <iostream>
#include <string>

#include "native/sha256.hpp"

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::string data;
        for (size_t i = 0; i + 1 < line.size(); i += 2) data.push_back(char(std::stoi(line.substr(i, 2), nullptr, 16)));
        char hex[65];
        ini::fast::sha256_hex(data, hex);
        std::puts(hex);
    }
}
