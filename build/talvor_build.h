// The two builds of one tree: TALVOR11 (build 1.1) and TALVOR10 (build 1.0),
// chosen by a compile definition. Every difference between them is named
// here and tested with #if in the routine it concerns.
#pragma once

#if defined(TALVOR11) && defined(TALVOR10)
#error "choose one build: TALVOR11 or TALVOR10"
#endif
#if !defined(TALVOR11) && !defined(TALVOR10)
#error "no build chosen: define TALVOR11 or TALVOR10"
#endif

#ifdef TALVOR10
// The reader type reported to the smart card library.
#define USCR_IFD_TYPE "Veltraxon reader 1.0"
// The configuration descriptor stays until ReleaseMemory; the interface is
// selected through an interface list and USBD_CreateConfigurationRequestEx.
#define USCR_KEEP_CONFIGURATION_DESCRIPTOR 1
#define USCR_SELECT_INTERFACE_EX 1
// A reader gone from the bus marks the card absent from the interrupt read.
#define USCR_ABSENT_ON_DISCONNECT 1
// Each transmission pass traces the card's timing parameters.
#define USCR_TRACE_CARD_TIMING 0
#else
#define USCR_IFD_TYPE "Veltraxon reader 1.1"
#define USCR_KEEP_CONFIGURATION_DESCRIPTOR 0
#define USCR_SELECT_INTERFACE_EX 0
#define USCR_ABSENT_ON_DISCONNECT 0
#define USCR_TRACE_CARD_TIMING 1
#endif
