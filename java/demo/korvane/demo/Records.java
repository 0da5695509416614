package korvane.demo;

import java.nio.charset.StandardCharsets;

/** Reading and writing the demonstration market's records (simulator/RECORDS.md). */
final class Records {
  private Records() {}

  static String text(byte[] record, int at, int width) {
    int end = at;
    while (end < at + width && end < record.length && record[end] != 0) {
      end++;
    }
    return new String(record, at, end - at, StandardCharsets.UTF_8);
  }

  static int integer(byte[] record, int at) {
    return (record[at] & 0xFF) | (record[at + 1] & 0xFF) << 8 | (record[at + 2] & 0xFF) << 16
        | (record[at + 3] & 0xFF) << 24;
  }

  static void putText(byte[] record, int at, int width, String text) {
    byte[] bytes = text.getBytes(StandardCharsets.UTF_8);
    System.arraycopy(bytes, 0, record, at, Math.min(bytes.length, width - 1));
  }

  static void putInt(byte[] record, int at, int value) {
    for (int i = 0; i < 4; i++) {
      record[at + i] = (byte) (value >>> (8 * i));
    }
  }

  /** A new-order record: contract key, account, side, type, quantity, price, reference. */
  static byte[] newOrder(String[] key, String account, char side, char type, int quantity,
      String price, String reference) {
    byte[] r = new byte[957];
    putText(r, 0, 11, key[0]);
    putText(r, 11, 11, key[1]);
    putText(r, 22, 51, key[2]);
    putText(r, 73, 11, account);
    r[84] = (byte) side;
    r[85] = (byte) type;
    putInt(r, 86, quantity);
    putText(r, 90, 21, price);
    putText(r, 111, 21, reference);
    return r;
  }

  static byte[] amend(int quantity, String price) {
    byte[] r = new byte[782];
    putInt(r, 0, quantity);
    putText(r, 4, 21, price);
    return r;
  }
}
