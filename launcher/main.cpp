// Process entry of the launcher.
int main() { return 0; }
