#pragma once
// A row's file as an entry of a ZIP that libzip packs: taken as a copy of it is (dicom/RowFileCopy.h),
// from one opening proven to hold the row's object, made when libzip comes to the entry and let go
// once its bytes are read, and failing the archive when the file changed before they were all read.

#include "dicom/RowFileCopy.h"

#include <QString>

#include <zip.h>

// The first of an archive's row files that was not taken, and why.
struct ZipRowFileRefusal
{
    qsizetype at = -1; // its place in the list packed; -1: every file was taken
    dicom::RowFileTaken taken = dicom::RowFileTaken::Taken;
    QString why;
};

// A source of the file's bytes for zip_file_add, the file standing at `at` in the list packed; null when
// libzip cannot make one. What it finds when it is read goes into *refusal, which must outlive the archive.
zip_source_t* rowFileZipSource(zip_t* archive, const dicom::RowFile& file, qsizetype at,
                               ZipRowFileRefusal* refusal);
