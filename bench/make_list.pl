#!/usr/bin/perl
# Writes a download list of N realistic downloads as a .reg file for
# `reg import`: one subkey per download below the list key, named by a
# 32-hex-digit id, with a URL of 40-200 bytes, a Windows output path, a
# size (now and then 0xFFFFFFFF, unknown) and a short description. The same
# N always gives the same file.
#
#   make_list.pl N > list.reg
use strict;
use warnings;

my $n = shift // die "usage: make_list.pl N\n";
srand(20240611 + $n);

my @hosts = qw(download.example.org mirror.example.net cdn.files.example.com
               releases.example.io ftp.example.edu static.example.co.uk);
my @dirs = qw(pub releases dist downloads files archive media builds stable v2);
my @words = qw(setup installer release notes video lecture podcast episode
               backup photos driver update firmware manual report dataset
               archive source build tools image disk music album trailer);
my @exts = qw(zip exe iso mp4 pdf tar.gz msi mp3 7z dmg);
my @folders = ('Downloads', 'Downloads\\Video', 'Downloads\\Software', 'Documents',
               'Downloads\\Music', 'Desktop');

sub pick { $_[int(rand(@_))] }
sub words { join($_[1], map { pick(@words) } 1 .. $_[0]) }
sub reg_string { my $s = shift; $s =~ s/\\/\\\\/g; $s =~ s/"/\\"/g; "\"$s\"" }

print "REGEDIT4\n\n";
print "[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList]\n\n";
for my $i (1 .. $n) {
  my $id = join '', map { sprintf '%04x', int(rand(65536)) } 1 .. 8;
  my $file = words(1 + int(rand(3)), '-') . '-' . int(rand(1000)) . '.' . pick(@exts);
  my $path = join '/', map { pick(@dirs) } 1 .. 1 + int(rand(4));
  my $url = 'https://' . pick(@hosts) . "/$path/$file";
  $url .= '?token=' . join('', map { sprintf '%x', int(rand(16)) } 1 .. int(rand(64)))
    if rand() < 0.4;
  my $out = 'C:\\Users\\user\\' . pick(@folders) . '\\' . $file;
  my $size = rand() < 0.05 ? 0xFFFFFFFF : int(rand(2**31));
  my $description = ucfirst(words(2 + int(rand(8)), ' '));
  printf "[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList\\%s]\n", $id;
  printf "\"Item_MainURL\"=%s\n", reg_string($url);
  printf "\"Item_OutputFilename\"=%s\n", reg_string($out);
  printf "\"Item_Size\"=dword:%08x\n", $size;
  printf "\"Item_Description\"=%s\n\n", reg_string($description);
}
