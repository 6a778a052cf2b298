// placeholder until the host entry lands
int main() { return 1; }
