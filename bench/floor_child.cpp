// floor_child: the least a host program does once started: its main runs, says so with one byte
// on its standard output, and ends. service_bench spawns it for the floor of a service start.
#include <unistd.h>

int main() {
    return write(1, "x", 1) == 1 ? 0 : 1;
}
