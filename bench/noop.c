/* Stands in for the browser while benchmarking: registered as the handler of
 * .htm files in the benchmark's Wine prefix, so the program's request to open
 * its report is made and answered as on a real desktop, without starting one. */
int main(void) { return 0; }
