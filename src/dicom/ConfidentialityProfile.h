#pragma once
// What a de-identified copy does to each attribute that may identify the patient or the people and
// places around a study: the Basic Application Level Confidentiality Profile of DICOM PS3.15 (Annex E,
// table of attributes and actions). The table itself is data in ConfidentialityProfile.cpp, one row per
// attribute as the standard lists it, so that it can be read row by row against the standard.

#include <QtGlobal>

namespace dicom {

// What the anonymised copy does to an element wherever it stands, nested items included.
enum class ProfileAction {
    Keep,   // not listed, kept by an option, or a UID ("U": identifiers are kept)
    Remove, // "X" and every choice that starts with it
    Empty,  // "Z", "Z/D": present with a zero-length value (a sequence without items)
    Dummy,  // "D": text replaced by a neutral value; a sequence removed, since dummy items say nothing
    // An object that holds it is not copied at all: its content is a document of its own (a PDF
    // report, a CDA, a 3D model) with text that no attribute rule reaches.
    LeaveOut,
};

// The action of the Basic Profile with the Retain UIDs and the Retain Longitudinal Temporal Information
// with Full Dates options: studies keep their identifiers and dates, so that copies still sort and
// link as the original; everything else the table names is removed, emptied or replaced, or the
// object is left out. A few rows go further than the table, and a few are the program's own; both stand
// apart from the table's rows in the source.
ProfileAction basicProfileAction(quint16 group, quint16 element);

} // namespace dicom
