#include "Service.h"

int main() { return ZavsmsrvMain(); }
