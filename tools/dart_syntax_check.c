/* Checks that Dart files parse, with the tree-sitter Dart grammar: no Dart
 * SDK can be installed here, so this is how the package's Dart is checked.
 * Prints "file:line:column: syntax error" for the first error of each file
 * and exits 1 when any file has one (2 when a file cannot be read).
 *   dart_syntax_check <file.dart>... */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tree_sitter/api.h>

const TSLanguage *tree_sitter_dart(void);

static char *ReadAll(const char *path, long *size) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return NULL;
  fseek(file, 0, SEEK_END);
  *size = ftell(file);
  fseek(file, 0, SEEK_SET);
  char *text = malloc((size_t)*size + 1);
  if (text != NULL && fread(text, 1, (size_t)*size, file) != (size_t)*size) {
    free(text);
    text = NULL;
  }
  fclose(file);
  return text;
}

/* The first node, in document order, that is an error or a missing token. */
static int FirstError(TSNode node, TSPoint *where) {
  if (ts_node_is_missing(node) || strcmp(ts_node_type(node), "ERROR") == 0) {
    *where = ts_node_start_point(node);
    return 1;
  }
  if (!ts_node_has_error(node)) return 0;
  const uint32_t count = ts_node_child_count(node);
  for (uint32_t i = 0; i < count; ++i) {
    if (FirstError(ts_node_child(node, i), where)) return 1;
  }
  *where = ts_node_start_point(node);
  return 1;
}

int main(int argc, char **argv) {
  TSParser *parser = ts_parser_new();
  if (!ts_parser_set_language(parser, tree_sitter_dart())) {
    fprintf(stderr, "dart_syntax_check: grammar version not supported by this tree-sitter\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    long size = 0;
    char *text = ReadAll(argv[i], &size);
    if (text == NULL) {
      fprintf(stderr, "%s: cannot read\n", argv[i]);
      status = 2;
      continue;
    }
    TSTree *tree = ts_parser_parse_string(parser, NULL, text, (uint32_t)size);
    TSPoint where;
    if (FirstError(ts_tree_root_node(tree), &where)) {
      printf("%s:%u:%u: syntax error\n", argv[i], where.row + 1, where.column + 1);
      if (status == 0) status = 1;
    } else {
      printf("%s: ok\n", argv[i]);
    }
    ts_tree_delete(tree);
    free(text);
  }
  ts_parser_delete(parser);
  return status;
}
