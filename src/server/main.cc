// korvane-server: serves one client over standard input and output.
#include "server/startup.h"

int main() {
  init();
  serve_requests();
}
