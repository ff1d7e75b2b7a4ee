// The program-wide switches a run carries, set by the front end or taken from the counterpart's
// request, and read by the Plug and Play work and by the hand-over to the counterpart.
#pragma once

// Progress lines of the device work; it starts as 1 and nothing turns it off, and the
// hand-over passes it on to the counterpart.
extern int verbose;
// Whether someone may answer a prompt of the system's device installation.  The front end
// clears it for a batch run (an agent's, with no one at a console or desktop) and the
// counterpart takes it from the request; it starts as 1.
extern int interactive;
