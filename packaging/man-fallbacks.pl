#!/usr/bin/perl
# Reads a man(7) page whose non-ASCII characters are groff escapes (\[u0442],
# as preconv writes them) and gives each Cyrillic one a transliterated
# fallback. A UTF-8 terminal still shows the Russian report lines as they are;
# an ASCII one shows a readable transliteration instead of a warning and a gap.
use strict;
use warnings;

my %latin = (
  '0430' => 'a', '0431' => 'b', '0432' => 'v', '0433' => 'g', '0434' => 'd',
  '0435' => 'e', '0451' => 'e', '0436' => 'zh', '0437' => 'z', '0438' => 'i',
  '0438_0306' => 'j', '0439' => 'j', '043A' => 'k', '043B' => 'l', '043C' => 'm',
  '043D' => 'n', '043E' => 'o', '043F' => 'p', '0440' => 'r', '0441' => 's',
  '0442' => 't', '0443' => 'u', '0444' => 'f', '0445' => 'kh', '0446' => 'ts',
  '0447' => 'ch', '0448' => 'sh', '0449' => 'shch', '044A' => '"', '044B' => 'y',
  '044C' => "'", '044D' => 'e', '044E' => 'yu', '044F' => 'ya',
  '0435_0308' => 'e',
);

my @lines = <STDIN>;
my %seen;
for my $line (@lines) {
  $seen{$1} = 1 while $line =~ /\\\[u([0-9A-F_]+)\]/g;
}

my @fallbacks;
for my $code (sort keys %seen) {
  my $lower = $code;
  my $upper = 0;
  # Upper-case Cyrillic letters: U+0410-042F (and U+0401), 0x20 below lower case.
  if ($code =~ /^(04[0-2][0-9A-F])(_.*)?$/) {
    my $value = hex($1);
    if ($value >= 0x410 && $value <= 0x42F) {
      $lower = sprintf('%04X', $value + 0x20) . ($2 // '');
      $upper = 1;
    } elsif ($value == 0x401) {
      $lower = '0451' . ($2 // '');
      $upper = 1;
    }
  }
  next unless exists $latin{$lower};
  my $text = $latin{$lower};
  $text = ucfirst $text if $upper;
  $text =~ s/'/\\(aq/g;
  $text =~ s/"/\\(dq/g;
  push @fallbacks, ".fchar \\[u$code] $text\n";
}

my $done = 0;
my $synopsis = 0;
for my $line (@lines) {
  # The synopsis is the usage text as the program prints it: kept at the
  # body's indentation so that its longest line fits 80 columns.
  $synopsis = ($line =~ /^\.SH SYNOPSIS/) if $line =~ /^\.SH /;
  next if $synopsis && $line =~ /^\.(RS 4|RE)$/;
  if (!$done && $line =~ /^\.TH /) {
    print @fallbacks;
    $done = 1;
  }
  print $line;
  # an.tmac turns hyphenation back on; command names must not be split.
  print ".nh\n" if $line =~ /^\.TH /;
}
