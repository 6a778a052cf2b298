#!/usr/bin/perl
# widl stamps the type library with the time it ran: as text in its "Created by" note and as
# the 32-bit number stored right after that note. Both become the Unix epoch, so that two
# builds of the same source give the same library, byte for byte.
# Usage: perl unstamp-typelib.pl FILE.tlb   (rewrites FILE.tlb in place)
use strict;
use warnings;

my $path = shift or die "usage: $0 FILE.tlb\n";
open(my $in, '<:raw', $path) or die "$path: $!\n";
my $data = do { local $/; <$in> };
close($in);

# The note is a string value, padded with 'W' to 4 bytes; the time follows as VT_UI4 (0x13).
$data =~ s/(Created by WIDL version [0-9.]+ at ).{24}(\n(?:WW)*\x13\x00).{4}/$1Thu Jan  1 00:00:00 1970$2\0\0\0\0/s
    or die "$path: widl's time stamp not found; the unstamping needs updating for this widl\n";

open(my $out, '>:raw', $path) or die "$path: $!\n";
print $out $data;
close($out) or die "$path: $!\n";
