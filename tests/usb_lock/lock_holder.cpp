// Holds one numbered lock for the lock tests, driven over stdin:
// "lock" answers "1" or "0", "unlock" answers "ok"; end of input ends it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "usb/vesk_semafori.h"

int main(int argc, char** argv) {
    int number = argc > 1 ? std::atoi(argv[1]) : 1;
    CVeskSemafori locks;
    std::string cmd;
    while (std::getline(std::cin, cmd)) {
        if (cmd == "lock")
            std::cout << (locks.Blocca(number) ? "1" : "0") << std::endl;
        else if (cmd == "unlock") {
            locks.Sblocca(number);
            std::cout << "ok" << std::endl;
        }
    }
    return 0;
}
