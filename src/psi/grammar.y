/* The grammar of the script language. Each top-level item is compiled into
   the engine's code array and the parser returns to the engine, which runs
   it; definitions stay in the code array. */

%code requires {
namespace corvanta::psi {
class Engine;
struct Symbol;
}
}

%code top {
#include <cstddef>
}

%code {
#include "psi/engine.h"

using corvanta::psi::Op;
using corvanta::psi::SymbolKind;

/* The parser stack grows from 200 entries up to 10,000; its blocks belong to
   the engine, so an error thrown out of the parser frees them too. */
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
#define YYMALLOC e.parser_alloc
#define YYFREE e.parser_free

static int psi_lex(PSI_STYPE* lval, corvanta::psi::Engine& e);
static void psi_error(corvanta::psi::Engine& e, const char* message);
}

%define api.prefix {psi_}
%define api.pure full
%define api.token.prefix {TOK_}
%parse-param {corvanta::psi::Engine& e}
%lex-param {corvanta::psi::Engine& e}

%union {
  corvanta::psi::Symbol* sym;
  int inst;
  int narg;
}

%token <sym> NUMBER STRING VAR BLTIN BLTINPROC FUNCTION PROCEDURE LOCALDEF
%token <narg> ARG
%token WHILE IF ELSE RETURN AUTO EXIT PROC FUNC TYPE DIM
%type <inst> stmt asgn expr stmtlist cond while if begin end
%type <sym> procname
%type <narg> arglist formals

%precedence '='
%left OR '|'
%left AND '&'
%left GT GE LT LE EQ NE
%left '+' '-'
%left '*' '/' '%'
%precedence UNARYMINUS NOT
%right '^'

/* Statements inside braces need no separator, so an expression may go on
   or a new statement begin; like the dangling else, each of these conflicts
   is resolved by shifting (the longer statement). */
%expect 33

%%

list:     %empty
        | list '\n'
        | list defn '\n'
        | list asgn '\n'  { e.emit(Op::Pop); e.emit(Op::Stop); e.item_ready(); YYACCEPT; }
        | list stmt '\n'  { e.emit(Op::Stop); e.item_ready(); YYACCEPT; }
        | list expr '\n'  { e.emit(Op::PrintTop); e.emit(Op::Stop); e.item_ready(); YYACCEPT; }
        | list error '\n' { yyerrok; }
        ;
asgn:     VAR '=' expr                 { $$ = $3; e.emit_sym(Op::AssignVar, $1); }
        | VAR '[' expr ']' '=' expr    { $$ = $3; e.emit_sym(Op::AssignElemOf, $1); }
        | ARG '=' expr                 { $$ = $3; e.emit_n(Op::AssignLocal, $1); }
        | ARG '[' expr ']' '=' expr    { $$ = $3; e.emit_n(Op::AssignLocalElem, $1); }
        ;
stmt:     expr                         { e.emit(Op::Pop); }
        | RETURN                       { e.require_definition("return"); $$ = e.emit(Op::ProcReturn); }
        | RETURN expr                  { e.require_definition("return"); $$ = $2; e.emit(Op::FuncReturn); }
        | EXIT                         { $$ = e.emit(Op::Exit); }
        | EXIT expr                    { $$ = $2; e.emit(Op::ExitValue); }
        | PROCEDURE begin '(' arglist ')'  { $$ = $2; e.emit_call($1, $4); }
        | BLTINPROC begin '(' arglist ')'  { $$ = $2; e.emit_builtin($1, $4); }
        | AUTO { e.begin_auto(); } formals { e.end_auto(); $$ = e.here(); }
        | while cond stmt end          { e.patch($1 + 1, $3); e.patch($1 + 2, $4); }
        | if cond stmt end             { e.patch($1 + 1, $3); e.patch($1 + 3, $4); }
        | if cond stmt end ELSE stmt end  { e.patch($1 + 1, $3); e.patch($1 + 2, $6); e.patch($1 + 3, $7); }
        | '{' stmtlist '}'             { $$ = $2; }
        ;
cond:     '(' expr ')'                 { e.emit(Op::Stop); $$ = $2; }
        ;
while:    WHILE                        { $$ = e.emit(Op::While); e.emit_operand(); e.emit_operand(); }
        ;
if:       IF                           { $$ = e.emit(Op::If); e.emit_operand(); e.emit_operand(); e.emit_operand(); }
        ;
begin:    %empty                       { $$ = e.here(); }
        ;
end:      %empty                       { e.emit(Op::Stop); $$ = e.here(); }
        ;
stmtlist: %empty                       { $$ = e.here(); }
        | stmtlist '\n'
        | stmtlist stmt
        ;
expr:     NUMBER                       { $$ = e.emit_sym(Op::PushConst, $1); }
        | STRING                       { $$ = e.emit_sym(Op::PushConst, $1); }
        | VAR                          { $$ = e.emit_sym(Op::PushVar, $1); }
        | VAR '[' expr ']'             { $$ = $3; e.emit_sym(Op::EvalElemOf, $1); }
        | TYPE '(' VAR ')'             { $$ = e.emit_sym(Op::TypeOf, $3); }
        | DIM '(' VAR ')'              { $$ = e.emit_sym(Op::DimOf, $3); }
        | ARG                          { $$ = e.emit_n(Op::PushLocal, $1); }
        | ARG '[' expr ']'             { $$ = $3; e.emit_n(Op::PushLocalElem, $1); }
        | asgn
        | FUNCTION begin '(' arglist ')'  { $$ = $2; e.emit_call($1, $4); }
        | BLTIN begin '(' arglist ')'     { $$ = $2; e.emit_builtin($1, $4); }
        | '(' expr ')'                 { $$ = $2; }
        | expr '+' expr                { e.emit(Op::Add); }
        | expr '-' expr                { e.emit(Op::Sub); }
        | expr '*' expr                { e.emit(Op::Mul); }
        | expr '/' expr                { e.emit(Op::Div); }
        | expr '%' expr                { e.emit(Op::Mod); }
        | expr '^' expr                { e.emit(Op::Pow); }
        | expr '|' expr                { e.emit(Op::BitOr); }
        | expr '&' expr                { e.emit(Op::BitAnd); }
        | '-' expr %prec UNARYMINUS    { $$ = $2; e.emit(Op::Negate); }
        | '+' expr %prec UNARYMINUS    { $$ = $2; }
        | expr GT expr                 { e.emit(Op::Gt); }
        | expr GE expr                 { e.emit(Op::Ge); }
        | expr LT expr                 { e.emit(Op::Lt); }
        | expr LE expr                 { e.emit(Op::Le); }
        | expr EQ expr                 { e.emit(Op::Eq); }
        | expr NE expr                 { e.emit(Op::Ne); }
        | expr AND expr                { e.emit(Op::And); }
        | expr OR expr                 { e.emit(Op::Or); }
        | NOT expr                     { $$ = $2; e.emit(Op::Not); }
        ;
defn:     FUNC procname { e.begin_definition($2, SymbolKind::Function); }
            '(' formals ')' { e.end_formals(); } stmt { e.end_definition($2); }
        | PROC procname { e.begin_definition($2, SymbolKind::Procedure); }
            '(' formals ')' { e.end_formals(); } stmt { e.end_definition($2); }
        ;
procname: VAR | FUNCTION | PROCEDURE
        ;
arglist:  %empty                       { $$ = 0; }
        | expr                         { $$ = 1; }
        | arglist ',' expr             { $$ = $1 + 1; }
        ;
formals:  %empty                       { $$ = 0; }
        | LOCALDEF                     { $$ = 1; }
        | formals ',' LOCALDEF         { $$ = $1 + 1; }
        ;

%%

static int psi_lex(PSI_STYPE* lval, corvanta::psi::Engine& e) {
  corvanta::psi::Symbol* sym = nullptr;
  int n = 0;
  const int token = e.lex(sym, n);
  if (token == TOK_ARG) {
    lval->narg = n;
  } else {
    lval->sym = sym;
  }
  return token;
}

static void psi_error(corvanta::psi::Engine& e, const char* message) { e.parser_error(message); }

namespace corvanta::psi {
int parse(Engine& e) { return psi_parse(e); }
}
