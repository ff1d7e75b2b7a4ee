/* Resource identifiers of tsrgBdevpp.dll. */
#define IDD_HALVIK_PAGE 100
