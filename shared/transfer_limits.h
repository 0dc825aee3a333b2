// Time limits of the network transfers: a service that accepts the connection
// and then never answers must not hold a program for good.
#pragma once

// Every transfer: the connection must be open within this time.
const long kConnectTimeoutSeconds = 10;
// The version check and the statistics report: the whole request, answer
// included. Both run on a UI thread.
const long kRequestTimeoutSeconds = 15;
// Package downloads have no total limit (large files, slow lines); they are
// abandoned when less than kStallBytesPerSecond arrives for kStallSeconds.
const long kStallBytesPerSecond = 1;
const long kStallSeconds = 30;
