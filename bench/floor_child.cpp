// floor_child: the least a host program does once started. It is linked as every host program
// is (all of hostwin, hence libstdc++ and SQLite), so loading it costs what loading one costs;
// its main then says it runs with one byte on its standard output and ends. service_bench spawns
// it for the floor of a service start.
#include <unistd.h>

int main() {
    return write(1, "x", 1) == 1 ? 0 : 1;
}
